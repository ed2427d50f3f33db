#include "Platform/Sha256.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace vornelo::platform {
namespace {

TEST(Sha256Tests, MatchesThePublishedTestVectors) {
    EXPECT_EQ(Sha256::hexString("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Sha256::hexString(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Sha256::hexString("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(Sha256::hexString(std::string(1'000'000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256Tests, AReusedHasherGivesTheSameDigestsAsFreshOnes) {
    Sha256 hasher;
    const auto first = hasher.digest("first input");
    const auto second = hasher.digest("second");
    EXPECT_EQ(first, Sha256().digest("first input"));
    EXPECT_EQ(second, Sha256().digest("second"));
    EXPECT_NE(first, second);
    EXPECT_EQ(hasher.digest("first input"), first);
}

TEST(Sha256Tests, ThreadsHashingAtOnceAgree) {
    const std::string expected = Sha256::hexString("shared input");
    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (std::size_t t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i) {
                if (Sha256::hexString("shared input") != expected) ++mismatches[t];
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace vornelo::platform
