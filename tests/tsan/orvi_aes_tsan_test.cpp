// The envelope cipher is called from the request task, the cloud link and
// the event handlers at once; it must share nothing between calls.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "orvi_aes.h"

TEST(OrviAesThreads, ConcurrentSealAndOpenWithDifferentKeys) {
    const char *keys[] = {"0123456789abcdef", "fedcba9876543210"};
    std::vector<int> bad(8, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t, &keys, &bad] {
            const char *key = keys[t % 2];
            for (int i = 0; i < 300; ++i) {
                std::string text(static_cast<size_t>(t * 13 + i % 50), static_cast<char>('a' + t)), s = text;
                if (orvi_aes_encrypt(key, s) != 0 || orvi_aes_decrypt(key, s) != 0 || s != text + "\n")
                    ++bad[t];
            }
        });
    }
    for (auto &th : threads)
        th.join();
    EXPECT_EQ(std::vector<int>(8, 0), bad);
}
