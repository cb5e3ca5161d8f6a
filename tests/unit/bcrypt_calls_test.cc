// The hash provider's calls as the digest set uses them, on whichever provider the build links:
// the same expectations hold for Windows' bcrypt and for the Linux layer over nettle.
#include <windows.h>
#include <bcrypt.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

#ifndef STATUS_NOT_FOUND
#define STATUS_NOT_FOUND ((NTSTATUS)0xC0000225)
#endif
#ifndef STATUS_BUFFER_TOO_SMALL
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023)
#endif
#ifndef STATUS_INVALID_PARAMETER
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000D)
#endif

/// True under Wine, whose bcrypt differs from Windows' in the two ways noted below.
bool under_wine() {
#ifdef _WIN32
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

const wchar_t* const algorithms[] = {L"MD2", L"MD4", L"MD5", L"SHA1", L"SHA256", L"SHA384",
                                     L"SHA512"};
const ULONG digest_lengths[] = {16, 16, 16, 20, 32, 48, 64};

// Windows: STATUS_NOT_FOUND. Wine says STATUS_NOT_IMPLEMENTED (0xC0000002) instead.
TEST(bcrypt_calls, unknown_algorithm_is_not_found) {
    BCRYPT_ALG_HANDLE h_prov = nullptr;
    const NTSTATUS status = BCryptOpenAlgorithmProvider(&h_prov, L"NOSUCHHASH", nullptr, 0);
    EXPECT_EQ(status, under_wine() ? static_cast<NTSTATUS>(0xC0000002) : STATUS_NOT_FOUND);
}

// Every algorithm opens with the reusable flag, tells its two lengths in 4 bytes, and refuses
// a 2-byte output buffer.
TEST(bcrypt_calls, lengths_of_every_algorithm) {
    for (int i = 0; i < 7; ++i) {
        SCOPED_TRACE(i);
        BCRYPT_ALG_HANDLE h_prov = nullptr;
        ASSERT_EQ(BCryptOpenAlgorithmProvider(&h_prov, algorithms[i], nullptr,
                                              BCRYPT_HASH_REUSABLE_FLAG),
                  0);
        ULONG value = 0;
        ULONG size = sizeof value;
        EXPECT_EQ(BCryptGetProperty(h_prov, BCRYPT_HASH_LENGTH, reinterpret_cast<PUCHAR>(&value),
                                    size, &size, 0),
                  0);
        EXPECT_EQ(value, digest_lengths[i]);
        EXPECT_EQ(size, 4u);
        value = 0;
        EXPECT_EQ(BCryptGetProperty(h_prov, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&value),
                                    sizeof value, &size, 0),
                  0);
        EXPECT_GT(value, 0u);
        uint16_t small = 0;
        EXPECT_EQ(BCryptGetProperty(h_prov, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&small),
                                    sizeof small, &size, 0),
                  STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(BCryptCloseAlgorithmProvider(h_prov, 0), 0);
    }
}

// A hash in caller memory: too little memory is refused (Windows; Wine keeps the hash in memory
// of its own and ignores the size), and the digest must be asked for with its exact size.
TEST(bcrypt_calls, object_memory_and_digest_size_are_checked) {
    BCRYPT_ALG_HANDLE h_prov = nullptr;
    ASSERT_EQ(BCryptOpenAlgorithmProvider(&h_prov, L"SHA256", nullptr, 0), 0);
    ULONG obj_length = 0;
    ULONG size = sizeof obj_length;
    ASSERT_EQ(BCryptGetProperty(h_prov, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&obj_length),
                                size, &size, 0),
              0);
    std::vector<uint64_t> object(obj_length / 8 + 1);
    auto* memory = reinterpret_cast<PUCHAR>(object.data());
    BCRYPT_HASH_HANDLE h_hash = nullptr;
    if (!under_wine()) {
        EXPECT_EQ(BCryptCreateHash(h_prov, &h_hash, memory, obj_length - 1, nullptr, 0, 0),
                  STATUS_BUFFER_TOO_SMALL);
    }
    ASSERT_EQ(BCryptCreateHash(h_prov, &h_hash, memory, obj_length, nullptr, 0, 0), 0);
    UCHAR abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(BCryptHashData(h_hash, abc, 3, 0), 0);
    UCHAR digest[64] = {};
    EXPECT_EQ(BCryptFinishHash(h_hash, digest, 31, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(BCryptFinishHash(h_hash, digest, 64, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(BCryptFinishHash(h_hash, digest, 32, 0), 0);
    EXPECT_EQ(digest[0], 0xba);
    EXPECT_EQ(digest[31], 0xad);
    EXPECT_EQ(BCryptDestroyHash(h_hash), 0);
    EXPECT_EQ(BCryptCloseAlgorithmProvider(h_prov, 0), 0);
}

}  // namespace
