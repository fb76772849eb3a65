// The envelope cipher. Every call owns its EVP context (freed on every path),
// and every buffer is a container sized from the lengths the cipher reports,
// so callers never have to guess how much room the padding or Base64 needs.
#include "orvi_aes.h"

#include <openssl/evp.h>

#include <climits>
#include <cstring>
#include <memory>

#include "orvi_base64.h"
#include "orvi_log.h"

namespace {
constexpr size_t kKeyLen = 16;
constexpr size_t kBlock = 16;
// EVP counts in int; leave room for the padding block.
constexpr size_t kMaxCipherInput = INT_MAX - 2 * kBlock;

struct CtxFree {
    void operator()(EVP_CIPHER_CTX *c) const { EVP_CIPHER_CTX_free(c); }
};
using Ctx = std::unique_ptr<EVP_CIPHER_CTX, CtxFree>;

// A key is usable when its first 16 bytes are all there; strnlen never reads
// past them.
bool key_ok(const char *key) {
    if (key == nullptr || strnlen(key, kKeyLen) < kKeyLen) {
        ORVI_LOGW("aes key is shorter than %zu characters!", kKeyLen);
        return false;
    }
    return true;
}

bool length_ok(size_t len) {
    if (len > kMaxCipherInput) {
        ORVI_LOGW("aes input is too long, lenth -> %zu", len);
        return false;
    }
    return true;
}

const unsigned char *key_bytes(const char *key) {
    return reinterpret_cast<const unsigned char *>(key);
}
}  // namespace

int evp_aes_128_ecb_pck7_encrypt(const char *key, const uint8_t *in, size_t len, std::vector<uint8_t> &out) {
    if (!key_ok(key) || !length_ok(len) || (in == nullptr && len > 0)) return -1;
    Ctx ctx(EVP_CIPHER_CTX_new());
    if (!ctx) {
        ORVI_LOGW("EVP_CIPHER_CTX_new error");
        return -1;
    }
    if (EVP_EncryptInit_ex(ctx.get(), EVP_aes_128_ecb(), nullptr, key_bytes(key), nullptr) != 1) {
        ORVI_LOGW("EVP_EncryptInit_ex error");
        return -1;
    }
    std::vector<uint8_t> buf(len / kBlock * kBlock + kBlock);
    int n1 = 0;
    int n2 = 0;
    if (EVP_EncryptUpdate(ctx.get(), buf.data(), &n1, in, static_cast<int>(len)) != 1) {
        ORVI_LOGW("EVP_EncryptUpdate error");
        return -1;
    }
    if (EVP_EncryptFinal_ex(ctx.get(), buf.data() + n1, &n2) != 1) {
        ORVI_LOGW("EVP_EncryptFinal_ex error");
        return -1;
    }
    buf.resize(static_cast<size_t>(n1) + static_cast<size_t>(n2));
    out.swap(buf);
    return static_cast<int>(out.size());
}

int evp_aes_128_ecb_pck7_decrypt(const char *key, const uint8_t *in, size_t len, std::vector<uint8_t> &out) {
    if (!key_ok(key) || !length_ok(len)) return -1;
    if (in == nullptr || len < kBlock) {
        ORVI_LOGW("cipher text is shorter than one block, lenth -> %zu", len);
        return -1;
    }
    Ctx ctx(EVP_CIPHER_CTX_new());
    if (!ctx) {
        ORVI_LOGW("EVP_CIPHER_CTX_new error");
        return -1;
    }
    if (EVP_DecryptInit_ex(ctx.get(), EVP_aes_128_ecb(), nullptr, key_bytes(key), nullptr) != 1) {
        ORVI_LOGW("EVP_DecryptInit_ex error");
        return -1;
    }
    std::vector<uint8_t> buf(len + kBlock);
    int n1 = 0;
    int n2 = 0;
    if (EVP_DecryptUpdate(ctx.get(), buf.data(), &n1, in, static_cast<int>(len)) != 1) {
        ORVI_LOGW("EVP_DecryptUpdate error");
        return -1;
    }
    if (EVP_DecryptFinal_ex(ctx.get(), buf.data() + n1, &n2) != 1) {
        ORVI_LOGW("EVP_DecryptFinal_ex error");
        return -1;
    }
    buf.resize(static_cast<size_t>(n1) + static_cast<size_t>(n2));
    out.swap(buf);
    return static_cast<int>(out.size());
}

int aes_ecb_paks7_encrypt(const uint8_t *in, size_t len, const char *key, std::vector<uint8_t> &out) {
    int ret = evp_aes_128_ecb_pck7_encrypt(key, in, len, out);
    if (ret < 0) ORVI_LOGE("in ssl aes encrypt fail code: %d", ret);
    orvi_plain_write("outLen is %d\n", ret);
    return ret;
}

int aes_ecb_paks7_decrypt(const uint8_t *in, size_t len, const char *key, std::vector<uint8_t> &out) {
    int ret = evp_aes_128_ecb_pck7_decrypt(key, in, len, out);
    if (ret < 0) ORVI_LOGE("in ssl aes decrypt fail code: %d", ret);
    return ret;
}

int orvi_aes_encrypt(const char *key, std::string &text) {
    ORVI_LOGD("strlen(orvi_json)->%d", static_cast<int>(text.size()));
    std::vector<uint8_t> plain(text.begin(), text.end());
    plain.push_back('\n');
    ORVI_LOGD("Lenth->>%d", static_cast<int>(plain.size()));
    std::vector<uint8_t> cipher;
    if (evp_aes_128_ecb_pck7_encrypt(key, plain.data(), plain.size(), cipher) < 0) {
        ORVI_LOGE("encrypt is fail!");
        return -1;
    }
    std::string b64;
    if (Base64Encode(cipher.data(), b64, cipher.size()) <= 0) {
        ORVI_LOGE("encrypt is fail!");
        return -1;
    }
    ORVI_LOGD("Base64Encode success!");
    ORVI_LOGD("encrypt_data lenth-->%d, %s", static_cast<int>(b64.size()), b64.c_str());
    text.swap(b64);
    return 0;
}

int orvi_aes_decrypt(const char *key, std::string &text) {
    std::vector<uint8_t> cipher;
    int n = Base64Decode(text.c_str(), cipher, text.size());
    ORVI_LOGD("lenth_decrypt->%d;", n);
    std::vector<uint8_t> plain;
    if (evp_aes_128_ecb_pck7_decrypt(key, cipher.data(), cipher.size(), plain) <= 0) {
        ORVI_LOGE("decrypt is fail!");
        return -1;
    }
    text.assign(plain.begin(), plain.end());
    return 0;
}
