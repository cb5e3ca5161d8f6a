// The digest set's failure paths, driven through the Linux layer's fault seam.
#include <gtest/gtest.h>

#include <string>

#include "console_capture.h"
#include "platform/fault.h"
#include "support/k_crypt.h"

namespace {

const wchar_t* const open_text =
    L"BCryptOpenAlgorithmProvider(&h_prov, K_CRYPT_ALG_ID[alg_id], NULL, flags)";
const wchar_t* const object_length_text =
    L"BCryptGetProperty(h_prov, BCRYPT_OBJECT_LENGTH, (uint8_t *)&obj_length_all, "
    L"obj_length_size, &obj_length_size, 0)";
const wchar_t* const digest_length_text =
    L"BCryptGetProperty(h_prov, BCRYPT_HASH_LENGTH, (uint8_t *)&txt_length, txt_length_size, "
    L"&txt_length_size, 0)";
const wchar_t* const create_text =
    L"BCryptCreateHash(h_prov, &ctx[i], &obj[i * obj_length], obj_length, NULL, 0, flags)";
const wchar_t* const hash_text = L"BCryptHashData(ctx[index], data, (ULONG)length, 0)";
const wchar_t* const finish_text = L"BCryptFinishHash(ctx[i], txt_hashes[i], txt_length, 0)";

constexpr uint32_t not_found = 0xC0000225u;
constexpr uint32_t invalid_parameter = 0xC000000Du;

class k_crypt_faults : public ::testing::Test {
protected:
    void SetUp() override { platform_fault_clear(); }
    void TearDown() override { platform_fault_clear(); }

    static void arm(const char* call, const wchar_t* match, unsigned nth, uint32_t status,
                    bool repeat = false) {
        ASSERT_TRUE(platform_fault_arm({call, match, nth, status, repeat}));
    }

    /// The number of reports in `text` with `context` and `code`.
    static int reports_of(const std::wstring& text, const wchar_t* context, uint32_t code) {
        const std::wstring head =
            std::wstring(context) + L"\n   ^ERROR: " + std::to_wstring(code) + L", ";
        int found = 0;
        for (size_t at = text.find(head); at != std::wstring::npos; at = text.find(head, at + 1)) {
            ++found;
        }
        return found;
    }

    /// The number of reports of any kind in `text`.
    static int all_reports(const std::wstring& text) {
        int found = 0;
        for (size_t at = text.find(L"\n   ^ERROR: "); at != std::wstring::npos;
             at = text.find(L"\n   ^ERROR: ", at + 1)) {
            ++found;
        }
        return found;
    }

    console_capture capture;
};

// Refused with the reusable flag only: a second open without it serves, silently.
TEST_F(k_crypt_faults, reusable_flag_refused_opens_again_without_it) {
    arm("BCryptOpenAlgorithmProvider", nullptr, 1, not_found);
    K_CRYPT set;
    ASSERT_EQ(set.init(4, 4), 0u);
    EXPECT_EQ(set.flags, 0u);
    EXPECT_TRUE(set.initialized);
    set.hash(2, "abc", 3);
    set.finish();
    EXPECT_EQ(set.txt_hashes[2][0], 0xba);
    EXPECT_TRUE(capture.text.empty());
}

TEST_F(k_crypt_faults, no_provider_reports_once_and_stays_off) {
    arm("BCryptOpenAlgorithmProvider", L"SHA384", 1, not_found, true);
    K_CRYPT set;
    EXPECT_EQ(set.init(4, 5), not_found);
    EXPECT_EQ(reports_of(capture.text, open_text, not_found), 1);
    EXPECT_EQ(all_reports(capture.text), 1);
    EXPECT_FALSE(set.initialized);
    EXPECT_EQ(set.h_prov, nullptr);
    EXPECT_EQ(set.hash(0, "x", 1), 0xFFFFFFFFu);
    EXPECT_TRUE(capture.progress.empty());
}

// The object length is needed: init fails, the provider stays open until release.
TEST_F(k_crypt_faults, object_length_unreadable_fails_init) {
    arm("BCryptGetProperty", L"ObjectLength", 1, invalid_parameter);
    K_CRYPT set;
    EXPECT_EQ(set.init(4, 2), invalid_parameter);
    EXPECT_EQ(reports_of(capture.text, object_length_text, invalid_parameter), 1);
    EXPECT_EQ(all_reports(capture.text), 1);
    EXPECT_FALSE(set.initialized);
    EXPECT_NE(set.h_prov, nullptr);
    EXPECT_EQ(set.txt_hashes, nullptr);
    set.release();
    EXPECT_EQ(set.h_prov, nullptr);
}

// Without the digest length the set goes on with 256-byte digest buffers; the provider then
// refuses every finish for the wrong size, and only the first refusal is reported.
TEST_F(k_crypt_faults, digest_length_unreadable_goes_on_with_256_bytes) {
    arm("BCryptGetProperty", L"HashDigestLength", 1, invalid_parameter);
    K_CRYPT set;
    ASSERT_EQ(set.init(4, 2), 0u);
    EXPECT_TRUE(set.initialized);
    EXPECT_EQ(set.txt_length, 256u);
    EXPECT_EQ(set.all_length, 4u * (256 + 16 + set.obj_length));
    EXPECT_EQ(set.txt_hashes[3], set.txt_hashes[0] + 3 * 256);
    EXPECT_EQ(reports_of(capture.text, digest_length_text, invalid_parameter), 1);
    EXPECT_EQ(all_reports(capture.text), 1);
    capture.text.clear();
    set.finish();
    EXPECT_EQ(reports_of(capture.text, finish_text, invalid_parameter), 1);
    EXPECT_EQ(all_reports(capture.text), 1);
}

// A context that cannot be made undoes the set: one report, nothing left open, and the next
// init works.
TEST_F(k_crypt_faults, failed_context_resets_the_set) {
    arm("BCryptCreateHash", nullptr, 3, invalid_parameter);
    K_CRYPT set;
    EXPECT_EQ(set.init(5, 3), invalid_parameter);
    EXPECT_EQ(reports_of(capture.text, create_text, invalid_parameter), 1);
    EXPECT_EQ(all_reports(capture.text), 1);
    EXPECT_FALSE(set.initialized);
    EXPECT_EQ(set.h_prov, nullptr);
    EXPECT_EQ(set.ctx, nullptr);
    EXPECT_EQ(set.txt_hashes, nullptr);
    EXPECT_EQ(set.count, 0u);
    ASSERT_EQ(set.init(5, 3), 0u);
    set.finish();
    EXPECT_EQ(set.txt_hashes[4][0], 0xda);  // SHA-1 of nothing
}

// A failing hash call is reported each time and returned; the context goes on afterwards.
TEST_F(k_crypt_faults, hash_failure_reported_per_call) {
    K_CRYPT set;
    ASSERT_EQ(set.init(4, 4), 0u);
    arm("BCryptHashData", nullptr, 1, invalid_parameter);
    EXPECT_EQ(set.hash(1, "abc", 3), invalid_parameter);
    EXPECT_EQ(set.hash(1, "abc", 3), 0u);
    platform_fault_clear();
    arm("BCryptHashData", nullptr, 1, not_found);
    EXPECT_EQ(set.hash(2, "abc", 3), not_found);
    EXPECT_EQ(reports_of(capture.text, hash_text, invalid_parameter), 1);
    EXPECT_EQ(reports_of(capture.text, hash_text, not_found), 1);
    EXPECT_EQ(all_reports(capture.text), 2);
    set.finish();
    EXPECT_EQ(set.txt_hashes[1][0], 0xba);
}

// Only the first failing finish is reported; the contexts after a failure are finished.
TEST_F(k_crypt_faults, finish_reports_first_failure_only) {
    K_CRYPT set;
    ASSERT_EQ(set.init(4, 2), 0u);
    set.hash(0, "abc", 3);
    arm("BCryptFinishHash", nullptr, 2, not_found, true);  // contexts 1, 2 and 3 fail
    set.finish();
    EXPECT_EQ(reports_of(capture.text, finish_text, not_found), 1);
    EXPECT_EQ(all_reports(capture.text), 1);
    EXPECT_EQ(set.txt_hashes[0][0], 0x90);  // MD5("abc")

    platform_fault_clear();
    capture.text.clear();
    set.hash(3, "abc", 3);
    arm("BCryptFinishHash", nullptr, 2, invalid_parameter);  // context 1 only
    set.finish();
    EXPECT_EQ(reports_of(capture.text, finish_text, invalid_parameter), 1);
    EXPECT_EQ(all_reports(capture.text), 1);
    EXPECT_EQ(set.txt_hashes[3][0], 0x90);
}

}  // namespace
