#include "support/report_error.h"

#include <gtest/gtest.h>

#include <string>

#include "console_capture.h"

namespace {

const std::wstring error_prefix = L"   ^ERROR: ";

// Both variants print the same two lines; they differ only in the stream.
TEST(report_error, prints_context_code_and_system_text_on_its_stream) {
    struct stream_case {
        uint32_t (*report)(uint32_t, const wchar_t*);
        bool on_text_stream;
    };
    const stream_case cases[] = {{report_error, false}, {report_error_inline, true}};
    for (const stream_case& c : cases) {
        console_capture capture;
        EXPECT_EQ(c.report(2, L"open(x.wav)"), 2u);
        const std::wstring& mine = c.on_text_stream ? capture.text : capture.progress;
        const std::wstring& other = c.on_text_stream ? capture.progress : capture.text;
        EXPECT_TRUE(other.empty());
        const std::wstring head = L"open(x.wav)\n" + error_prefix + L"2, ";
        ASSERT_EQ(mine.compare(0, head.size(), head), 0) << mine;
        const std::wstring system_text = mine.substr(head.size());
        EXPECT_FALSE(system_text.empty());
        EXPECT_NE(system_text, L"(null)");
    }
}

TEST(report_error, code_without_system_text_prints_null_word) {
    console_capture capture;
    const uint32_t unknown = 0x7FFFFFF0;
    EXPECT_EQ(report_error_inline(unknown, L"ctx"), unknown);
    EXPECT_EQ(capture.text, L"ctx\n" + error_prefix + L"2147483632, (null)");
}

TEST(report_error, code_is_printed_unsigned) {
    console_capture capture;
    report_error(0xC0000225u, L"BCryptHashData(ctx[index], data, (ULONG)length, 0)");
    const std::wstring head =
        L"BCryptHashData(ctx[index], data, (ULONG)length, 0)\n" + error_prefix + L"3221226021, ";
    EXPECT_EQ(capture.progress.compare(0, head.size(), head), 0) << capture.progress;
}

}  // namespace
