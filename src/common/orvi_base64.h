// Standard Base64 (RFC 4648 alphabet, "=" fill, no line breaks) for the
// packet envelope and the codec plug-ins. Stateless: any thread may call.
// Outputs are owned containers sized exactly to the result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Encodes `len` bytes of `in` into `out` (replaced). Returns the output length,
// 0 for empty or refused input (null with a non-zero length, or too long).
int Base64Encode(const uint8_t *in, std::string &out, size_t len);

// Decodes `len` characters of `in` into `out` (replaced). Returns the decoded
// length; 0 (and `out` empty) for a null input or one holding a zero byte
// inside its length. Characters outside the alphabet count as zero bits, a
// trailing partial group is ignored, and "=" fill is honoured only at the end
// of the last whole group, so the result never exceeds what was decoded.
int Base64Decode(const char *in, std::vector<uint8_t> &out, size_t len);

// The same two with the argument order the codec plug-ins use.
int orvi_hex_base64_encode(const uint8_t *in, size_t len, std::string &out);
int orvi_hex_base64_decode(const char *in, size_t len, std::vector<uint8_t> &out);
