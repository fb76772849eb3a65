// AES-128-ECB with PKCS#7 padding and the Base64 cipher text of the packet
// envelope. Stateless: each call creates and frees its own cipher context,
// so any number of threads may call at once.
//
// Keys are texts whose first 16 bytes are the AES key as they stand. A null
// key or one shorter than 16 characters is refused with a log line and never
// read past its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Replaces the inner JSON text by its cipher text: a line feed is appended,
// the bytes are encrypted and the result is Base64-encoded. Returns 0, or -1
// ("encrypt is fail!") with the text unchanged.
int orvi_aes_encrypt(const char *key, std::string &text);

// Replaces the Base64 cipher text by the plain text (which keeps the line feed
// the sender appended). Returns 0, or -1 ("decrypt is fail!") with the text
// unchanged when decoding or decryption fails or the plain text is empty.
int orvi_aes_decrypt(const char *key, std::string &text);

// Raw cipher through the EVP interface: `out` receives the cipher (or plain)
// bytes. Return the output length, or -1. Decryption refuses fewer than 16
// bytes.
int evp_aes_128_ecb_pck7_encrypt(const char *key, const uint8_t *in, size_t len, std::vector<uint8_t> &out);
int evp_aes_128_ecb_pck7_decrypt(const char *key, const uint8_t *in, size_t len, std::vector<uint8_t> &out);

// The same for the codec and messaging callers (bytes, length, key). The
// encrypting one prints "outLen is %d" on every call.
int aes_ecb_paks7_encrypt(const uint8_t *in, size_t len, const char *key, std::vector<uint8_t> &out);
int aes_ecb_paks7_decrypt(const uint8_t *in, size_t len, const char *key, std::vector<uint8_t> &out);
