// Cost of sealing and opening a typical 200-byte inner packet, beside a bare
// EVP AES-128-ECB pass over the same bytes (fresh context per call, as the
// product does): the gap is what the line feed, Base64 and copies add.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <string>
#include <vector>

#include "orvi_aes.h"
#include "orvi_envelope.h"
#include "orvi_log.h"

namespace {
const char kKey[] = "0123456789abcdef";

// A 200-byte status packet: a realistic head padded with digits.
std::string inner_packet() {
    std::string s =
        R"({"t":"jsonStatus","mac":"a1b2c3d4e5f6","opt":["onOff","bri","cct"],"p":[1,80,4000],"ts":)";
    s.append(199 - s.size(), '0');
    return s + "}";
}

void BM_Seal(benchmark::State &state) {
    orvi_log_level_set(ORVI_LOG_WARN);
    const std::string inner = inner_packet();
    for (auto _ : state) {
        std::string text = inner;
        if (orvi_aes_encrypt(kKey, text) != 0) state.SkipWithError("encrypt failed");
        benchmark::DoNotOptimize(text.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(inner.size()));
}
BENCHMARK(BM_Seal);

void BM_Open(benchmark::State &state) {
    orvi_log_level_set(ORVI_LOG_WARN);
    std::string sealed = inner_packet();
    orvi_aes_encrypt(kKey, sealed);
    for (auto _ : state) {
        std::string text = sealed;
        if (orvi_aes_decrypt(kKey, text) != 0) state.SkipWithError("decrypt failed");
        benchmark::DoNotOptimize(text.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 200);
}
BENCHMARK(BM_Open);

// Sealing plus the response envelope the request task prints.
void BM_SealEnvelope(benchmark::State &state) {
    orvi_log_level_set(ORVI_LOG_WARN);
    const std::string inner = inner_packet();
    std::string env;
    for (auto _ : state) {
        std::string text = inner;
        orvi_aes_encrypt(kKey, text);
        orvi_envelope_build(AES_KEY_TYPE_RANDOM, SOCKET_CONNECT_TYPE_UDP, "0123456789abcdef", "a1b2c3d4e5f6",
                            42, text, -1, nullptr, env);
        benchmark::DoNotOptimize(env.data());
    }
}
BENCHMARK(BM_SealEnvelope);

// The floor: the cipher alone on the same 201 plain bytes (text + line
// feed), with a fresh context per call as the product uses.
void BM_BareEvpEncrypt(benchmark::State &state) {
    std::string plain = inner_packet() + "\n";
    std::vector<unsigned char> out(plain.size() + 16);
    for (auto _ : state) {
        EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
        int n1 = 0, n2 = 0;
        EVP_EncryptInit_ex(ctx, EVP_aes_128_ecb(), nullptr, reinterpret_cast<const unsigned char *>(kKey),
                           nullptr);
        EVP_EncryptUpdate(ctx, out.data(), &n1, reinterpret_cast<const unsigned char *>(plain.data()),
                          static_cast<int>(plain.size()));
        EVP_EncryptFinal_ex(ctx, out.data() + n1, &n2);
        EVP_CIPHER_CTX_free(ctx);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 200);
}
BENCHMARK(BM_BareEvpEncrypt);

void BM_BareEvpDecrypt(benchmark::State &state) {
    std::string plain = inner_packet() + "\n";
    std::vector<unsigned char> cipher(plain.size() + 16), out(plain.size() + 32);
    int c1 = 0, c2 = 0;
    EVP_CIPHER_CTX *ec = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(ec, EVP_aes_128_ecb(), nullptr, reinterpret_cast<const unsigned char *>(kKey),
                       nullptr);
    EVP_EncryptUpdate(ec, cipher.data(), &c1, reinterpret_cast<const unsigned char *>(plain.data()),
                      static_cast<int>(plain.size()));
    EVP_EncryptFinal_ex(ec, cipher.data() + c1, &c2);
    EVP_CIPHER_CTX_free(ec);
    for (auto _ : state) {
        EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
        int n1 = 0, n2 = 0;
        EVP_DecryptInit_ex(ctx, EVP_aes_128_ecb(), nullptr, reinterpret_cast<const unsigned char *>(kKey),
                           nullptr);
        EVP_DecryptUpdate(ctx, out.data(), &n1, cipher.data(), c1 + c2);
        EVP_DecryptFinal_ex(ctx, out.data() + n1, &n2);
        EVP_CIPHER_CTX_free(ctx);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 200);
}
BENCHMARK(BM_BareEvpDecrypt);
}  // namespace

BENCHMARK_MAIN();
