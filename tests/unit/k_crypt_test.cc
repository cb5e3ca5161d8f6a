#include "support/k_crypt.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "console_capture.h"

namespace {

std::string to_hex(const uint8_t* bytes, uint32_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (uint32_t i = 0; i < length; ++i) {
        hex += digits[bytes[i] >> 4];
        hex += digits[bytes[i] & 15];
    }
    return hex;
}

struct digest_vector {
    uint32_t alg_id;
    const char* message;
    const char* digest;
};

const char* const two_blocks_448 = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
const char* const two_blocks_896 =
    "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnop"
    "qrsmnopqrstnopqrstu";

// The published examples: RFC 1319 (MD2), RFC 1320 (MD4), RFC 1321 (MD5), FIPS 180 (SHA).
const digest_vector vectors[] = {
    {0, "", "8350e5a3e24c153df2275c9f80692773"},
    {0, "abc", "da853b0d3f88d99b30283a69e6ded6bb"},
    {0, "message digest", "ab4f496bfb2a530b219ff33031fe06b0"},
    {0, "12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "d5976f79d83d3a0dc9806c3c66f3efd8"},
    {1, "", "31d6cfe0d16ae931b73c59d7e0c089c0"},
    {1, "abc", "a448017aaf21d8525fc10ae87aa6729d"},
    {1, "message digest", "d9130a8164549fe818874806e1c7014b"},
    {1, "12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "e33b4ddc9c38f2199c3e7b164fcc0536"},
    {2, "", "d41d8cd98f00b204e9800998ecf8427e"},
    {2, "abc", "900150983cd24fb0d6963f7d28e17f72"},
    {2, "message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {2, "12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
    {3, "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
    {3, two_blocks_448, "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
    {4, "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {4, two_blocks_448, "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {5, "abc",
     "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c8"
     "25a7"},
    {5, two_blocks_896,
     "09330c33f71147e83d192fc782cd1b4753111b173b3b05d22fa08086e3b0f712fcc7c71a557e2db966c3e9fa9174"
     "6039"},
    {6, "abc",
     "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3fe"
     "ebbd454d4423643ce80e2a9ac94fa54ca49f"},
    {6, two_blocks_896,
     "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018501d289e4900f7e4331b99dec4b5"
     "433ac7d329eeb6dd26545e96e55b874be909"},
};

// Context 0 takes the message whole, context 1 in pieces of 1, 7 and the rest bytes (so pieces
// straddle the algorithms' block boundaries), context 2 takes nothing and must hold the digest of
// empty input; then the same set, re-initialised, must give the same digests again.
TEST(k_crypt, published_digests_whole_in_pieces_and_after_reinit) {
    for (const digest_vector& v : vectors) {
        SCOPED_TRACE(std::string(v.message).substr(0, 20) + " alg " + std::to_string(v.alg_id));
        console_capture capture;
        K_CRYPT set;
        std::string empty_digest;
        for (int round = 0; round < 2; ++round) {
            ASSERT_EQ(set.init(3, v.alg_id), 0u);
            ASSERT_TRUE(set.initialized);
            ASSERT_EQ(set.txt_length * 2, std::strlen(v.digest));
            const auto* data = reinterpret_cast<const uint8_t*>(v.message);
            const uint64_t length = std::strlen(v.message);
            EXPECT_EQ(set.hash(0, data, length), 0u);
            uint64_t at = 0;
            for (uint64_t piece : {uint64_t{1}, uint64_t{7}, length}) {
                uint64_t take = piece < length - at ? piece : length - at;
                EXPECT_EQ(set.hash(1, data + at, take), 0u);
                at += take;
            }
            set.finish();
            EXPECT_EQ(to_hex(set.txt_hashes[0], set.txt_length), v.digest);
            EXPECT_EQ(to_hex(set.txt_hashes[1], set.txt_length), v.digest);
            if (round == 0) empty_digest = to_hex(set.txt_hashes[2], set.txt_length);
            EXPECT_EQ(to_hex(set.txt_hashes[2], set.txt_length), empty_digest);
            if (*v.message == '\0') {
                EXPECT_EQ(empty_digest, v.digest);
            }
        }
        EXPECT_TRUE(capture.text.empty()) << std::string(capture.text.begin(), capture.text.end());
        EXPECT_TRUE(capture.progress.empty());
    }
}

// The contexts take more data after finish: the next digest covers only what came after it.
TEST(k_crypt, contexts_start_over_after_finish) {
    K_CRYPT set;
    ASSERT_EQ(set.init(1, 2), 0u);
    set.hash(0, "xyz", 3);
    set.finish();
    set.hash(0, "abc", 3);
    set.finish();
    EXPECT_EQ(to_hex(set.txt_hashes[0], set.txt_length), "900150983cd24fb0d6963f7d28e17f72");
}

// One block: pointer table, handle table, hash objects, digests, back to back.
TEST(k_crypt, one_allocation_in_documented_layout) {
    K_CRYPT set;
    const uint64_t count = 5;
    ASSERT_EQ(set.init(count, 4), 0u);
    EXPECT_EQ(set.count, count);
    EXPECT_EQ(set.alg_id, 4u);
    EXPECT_EQ(set.txt_length, 32u);
    EXPECT_GT(set.obj_length, 0u);
    EXPECT_EQ(set.flags, BCRYPT_HASH_REUSABLE_FLAG);
    EXPECT_NE(set.h_prov, nullptr);
    EXPECT_EQ(set.ctx_length, count * 8);
    EXPECT_EQ(set.txt_length_all, count * 32);
    EXPECT_EQ(set.all_length, count * (32 + 16 + set.obj_length));
    auto* start = reinterpret_cast<uint8_t*>(set.txt_hashes);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(set.ctx), start + count * 8);
    const uint8_t* digests = start + 16 * count + count * set.obj_length;
    for (uint64_t i = 0; i < count; ++i) {
        EXPECT_NE(set.ctx[i], nullptr);
        EXPECT_EQ(set.txt_hashes[i], digests + i * 32);
    }
    EXPECT_EQ(digests + count * 32, start + set.all_length);
}

TEST(k_crypt, second_init_replaces_the_first) {
    K_CRYPT set;
    ASSERT_EQ(set.init(4, 6), 0u);
    set.hash(3, "junk", 4);
    ASSERT_EQ(set.init(2, 3), 0u);
    EXPECT_EQ(set.count, 2u);
    EXPECT_EQ(set.txt_length, 20u);
    set.hash(1, "abc", 3);
    set.finish();
    EXPECT_EQ(to_hex(set.txt_hashes[1], 20), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(to_hex(set.txt_hashes[0], 20), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

void expect_reset(const K_CRYPT& set) {
    EXPECT_FALSE(set.initialized);
    EXPECT_EQ(set.all_length, 0u);
    EXPECT_EQ(set.ctx_length, 0u);
    EXPECT_EQ(set.txt_length_all, 0u);
    EXPECT_EQ(set.obj_length, 0u);
    EXPECT_EQ(set.ctx, nullptr);
    EXPECT_EQ(set.h_prov, nullptr);
    EXPECT_EQ(set.flags, 0u);
    EXPECT_EQ(set.txt_hashes, nullptr);
    EXPECT_EQ(set.txt_length, 0u);
    EXPECT_EQ(set.count, 0u);
}

// Release is safe in every state, any number of times, and says nothing; so is the use of a set
// that was never initialised.
TEST(k_crypt, release_twice_and_use_before_init_are_silent) {
    console_capture capture;
    K_CRYPT never;
    EXPECT_EQ(never.hash(0, "abc", 3), 0xFFFFFFFFu);
    never.finish();
    never.release();
    expect_reset(never);

    K_CRYPT set;
    ASSERT_EQ(set.init(4, 5), 0u);
    set.release();
    expect_reset(set);
    set.release();
    expect_reset(set);
    EXPECT_EQ(set.hash(0, "abc", 3), 0xFFFFFFFFu);
    EXPECT_TRUE(capture.text.empty());
    EXPECT_TRUE(capture.progress.empty());
}

// An allocation that cannot be had is reported with a non-zero code and leaves the set off.
TEST(k_crypt, failed_allocation_is_reported_and_not_success) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's allocator aborts on impossible sizes";
#endif
    console_capture capture;
    K_CRYPT set;
    // More bytes than a 64-bit process can address, whatever the object length.
    const uint32_t result = set.init(uint64_t{1} << 42, 2);
    EXPECT_NE(result, 0u);
    EXPECT_FALSE(set.initialized);
    EXPECT_EQ(set.txt_hashes, nullptr);
    const std::wstring head = L"K_CRYPT::init(){ txt_hashes = malloc(all_length); }\n   ^ERROR: " +
                              std::to_wstring(result) + L", ";
    EXPECT_EQ(capture.text.compare(0, head.size(), head), 0);
    EXPECT_TRUE(capture.progress.empty());
    set.release();
    expect_reset(set);
}

}  // namespace
