// Names between POSIX bytes and wide strings: every byte string comes back unchanged.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/args.h"

namespace {

struct name_case {
    const char* label;
    std::string bytes;
    std::wstring wide;  // what the bytes decode to
};

TEST(platform_names, bytes_decode_as_expected_and_encode_back_exactly) {
    const name_case cases[] = {
        {"ascii", "take 1.wav", L"take 1.wav"},
        {"two-byte", "caf\xC3\xA9.wav", L"caf\u00E9.wav"},
        {"three-byte", "\xE2\x82\xAC", L"\u20AC"},
        {"four-byte", "\xF0\x9F\x8E\xB5", L"\U0001F3B5"},
        {"latin-1 byte", "caf\xE9", L"caf\xDCE9"},
        {"lone continuation", "\x80z", L"\xDC80z"},
        {"truncated sequence", "a\xE2\x82", L"a\xDCE2\xDC82"},
        {"overlong slash", "\xC0\xAF", L"\xDCC0\xDCAF"},
        {"encoded surrogate", "\xED\xB2\x80", L"\xDCED\xDCB2\xDC80"},
        {"past U+10FFFF", "\xF4\x90\x80\x80", L"\xDCF4\xDC90\xDC80\xDC80"},
        {"byte 0xFF", "\xFF", L"\xDCFF"},
        {"empty", "", L""},
    };
    for (const name_case& c : cases) {
        wchar_t wide[64];
        size_t n = platform_bytes_to_name(c.bytes.data(), c.bytes.size(), wide, 64);
        ASSERT_EQ(n, c.wide.size()) << c.label;
        EXPECT_EQ(std::wstring(wide), c.wide) << c.label;
        char back[64];
        size_t m = platform_name_to_bytes(wide, back, sizeof back);
        ASSERT_EQ(m, c.bytes.size()) << c.label;
        EXPECT_EQ(std::string(back, m), c.bytes) << c.label;
        EXPECT_EQ(back[m], '\0') << c.label;
    }
}

TEST(platform_names, every_pair_of_bytes_round_trips) {
    // All two-byte strings cover every lead byte with every follower, valid or not.
    for (int a = 1; a < 256; ++a) {
        for (int b = 1; b < 256; ++b) {
            const char bytes[2] = {static_cast<char>(a), static_cast<char>(b)};
            wchar_t wide[4];
            ASSERT_NE(platform_bytes_to_name(bytes, 2, wide, 4), static_cast<size_t>(-1));
            char back[8];
            ASSERT_EQ(platform_name_to_bytes(wide, back, sizeof back), 2u) << a << " " << b;
            ASSERT_EQ(std::memcmp(back, bytes, 2), 0) << a << " " << b;
        }
    }
}

TEST(platform_names, results_that_do_not_fit_are_refused) {
    wchar_t wide[4];
    EXPECT_EQ(platform_bytes_to_name("abcd", 4, wide, 4), static_cast<size_t>(-1));
    EXPECT_EQ(platform_bytes_to_name("abc", 3, wide, 4), 3u);
    char bytes[4];
    EXPECT_EQ(platform_name_to_bytes(L"\u00E9\u00E9", bytes, 4), static_cast<size_t>(-1));
    EXPECT_EQ(platform_name_to_bytes(L"\u00E9z", bytes, 4), 3u);
}

TEST(platform_names, arguments_become_wide_strings_with_a_null_end) {
    char a0[] = "tally";
    char a1[] = "caf\xE9.wav";
    char a2[] = "-o";
    char* argv[] = {a0, a1, a2, nullptr};
    wchar_t** wide = platform_wide_arguments(3, argv);
    ASSERT_NE(wide, nullptr);
    EXPECT_STREQ(wide[0], L"tally");
    EXPECT_STREQ(wide[1], L"caf\xDCE9.wav");
    EXPECT_STREQ(wide[2], L"-o");
    EXPECT_EQ(wide[3], nullptr);
}

TEST(platform_names, one_character_gives_its_bytes) {
    char out[4];
    EXPECT_EQ(platform_char_to_bytes(L'A', out), 1u);
    EXPECT_EQ(platform_char_to_bytes(L'\xDCE9', out), 1u);
    EXPECT_EQ(static_cast<unsigned char>(out[0]), 0xE9);
    EXPECT_EQ(platform_char_to_bytes(L'\u20AC', out), 3u);
    EXPECT_EQ(std::string(out, 3), "\xE2\x82\xAC");
}

}  // namespace
