// K_CRYPT: one CNG provider for all contexts, and one allocation for the pointer table, the
// context handles, the hash objects and the digests, so a run makes one heap allocation for its
// digests whatever the number of inputs.
#include "support/k_crypt.h"

#include <cstdlib>
#include <cstring>

#include "support/report_error.h"

const wchar_t* const K_CRYPT_ALG_ID[7] = {
    BCRYPT_MD2_ALGORITHM,    BCRYPT_MD4_ALGORITHM,    BCRYPT_MD5_ALGORITHM,
    BCRYPT_SHA1_ALGORITHM,   BCRYPT_SHA256_ALGORITHM, BCRYPT_SHA384_ALGORITHM,
    BCRYPT_SHA512_ALGORITHM,
};

K_CRYPT::~K_CRYPT() { release(); }

uint32_t K_CRYPT::init(uint64_t count, uint32_t alg_id) {
    release();
    flags = BCRYPT_HASH_REUSABLE_FLAG;
    this->count = count;
    this->alg_id = alg_id;

    // Older providers refuse the reusable flag; the contexts then work without it.
    NTSTATUS status = BCryptOpenAlgorithmProvider(&h_prov, K_CRYPT_ALG_ID[alg_id], nullptr, flags);
    if (!BCRYPT_SUCCESS(status)) {
        flags = 0;
        h_prov = nullptr;
        status = BCryptOpenAlgorithmProvider(&h_prov, K_CRYPT_ALG_ID[alg_id], nullptr, flags);
    }
    if (!BCRYPT_SUCCESS(status)) {
        h_prov = nullptr;
        return report_error_inline(
            static_cast<uint32_t>(status),
            L"BCryptOpenAlgorithmProvider(&h_prov, K_CRYPT_ALG_ID[alg_id], NULL, flags)");
    }

    obj_length = 0;
    ULONG obj_length_size = sizeof obj_length;
    status = BCryptGetProperty(h_prov, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&obj_length),
                               obj_length_size, &obj_length_size, 0);
    if (!BCRYPT_SUCCESS(status)) {
        return report_error_inline(
            static_cast<uint32_t>(status),
            L"BCryptGetProperty(h_prov, BCRYPT_OBJECT_LENGTH, (uint8_t *)&obj_length_all, "
            L"obj_length_size, &obj_length_size, 0)");
    }

    ULONG txt_length_size = sizeof txt_length;
    status = BCryptGetProperty(h_prov, BCRYPT_HASH_LENGTH, reinterpret_cast<PUCHAR>(&txt_length),
                               txt_length_size, &txt_length_size, 0);
    if (!BCRYPT_SUCCESS(status)) {
        report_error_inline(static_cast<uint32_t>(status),
                            L"BCryptGetProperty(h_prov, BCRYPT_HASH_LENGTH, (uint8_t *)&txt_length, "
                            L"txt_length_size, &txt_length_size, 0)");
        txt_length = 256;  // room for any digest; the finish then reports the real mismatch
    }

    ctx_length = count * 8;
    txt_length_all = static_cast<uint64_t>(txt_length) * count;
    all_length = count * (static_cast<uint64_t>(txt_length) + 16 + obj_length);

    auto* block = static_cast<uint8_t*>(std::malloc(all_length));
    if (block == nullptr) {
        // The C runtime's malloc need not set the thread's last error; a zero code would make
        // the failure look like success to the caller.
        uint32_t error = GetLastError();
        if (error == 0) error = ERROR_NOT_ENOUGH_MEMORY;
        return report_error_inline(error, L"K_CRYPT::init(){ txt_hashes = malloc(all_length); }");
    }
    std::memset(block, 0, all_length);
    txt_hashes = reinterpret_cast<uint8_t**>(block);
    ctx = reinterpret_cast<BCRYPT_HASH_HANDLE*>(block + count * 8);
    uint8_t* obj = block + 16 * count;

    for (uint64_t i = 0; i < count; ++i) {
        status = BCryptCreateHash(h_prov, &ctx[i], &obj[i * obj_length], obj_length, nullptr, 0,
                                  flags);
        if (!BCRYPT_SUCCESS(status)) {
            report_error_inline(
                static_cast<uint32_t>(status),
                L"BCryptCreateHash(h_prov, &ctx[i], &obj[i * obj_length], obj_length, NULL, 0, "
                L"flags)");
            // Undo the contexts made so far, each once; release then finds none left to destroy.
            ctx[i] = nullptr;
            for (uint64_t k = i; k-- > 0;) {
                BCryptDestroyHash(ctx[k]);
                ctx[k] = nullptr;
            }
            release();
            return static_cast<uint32_t>(status);
        }
    }

    uint8_t* digest = block + 16 * count + count * obj_length;
    for (uint64_t i = 0; i < count; ++i) txt_hashes[i] = digest + i * txt_length;

    initialized = true;
    return 0;
}

uint32_t K_CRYPT::hash(uint64_t index, const void* data, uint64_t length) {
    if (!initialized) return 0xFFFFFFFF;
    NTSTATUS status = BCryptHashData(ctx[index], static_cast<PUCHAR>(const_cast<void*>(data)),
                                     static_cast<ULONG>(length), 0);
    if (!BCRYPT_SUCCESS(status)) {
        return report_error_inline(static_cast<uint32_t>(status),
                                   L"BCryptHashData(ctx[index], data, (ULONG)length, 0)");
    }
    return 0;
}

void K_CRYPT::finish() {
    // A failed init can leave `count` set without contexts; there is nothing to finish then.
    if (!initialized) return;
    bool reported = false;
    for (uint64_t i = 0; i < count; ++i) {
        NTSTATUS status = BCryptFinishHash(ctx[i], txt_hashes[i], txt_length, 0);
        if (!BCRYPT_SUCCESS(status) && !reported) {
            report_error_inline(static_cast<uint32_t>(status),
                                L"BCryptFinishHash(ctx[i], txt_hashes[i], txt_length, 0)");
            reported = true;
        }
    }
}

void K_CRYPT::release() {
    initialized = false;
    if (ctx != nullptr) {
        for (uint64_t i = 0; i < count; ++i) {
            if (ctx[i] != nullptr) BCryptDestroyHash(ctx[i]);
        }
    }
    if (txt_hashes != nullptr) {
        std::memset(static_cast<void*>(txt_hashes), 0, all_length);
        std::free(txt_hashes);
    }
    if (h_prov != nullptr) BCryptCloseAlgorithmProvider(h_prov, 0);
    all_length = 0;
    ctx_length = 0;
    txt_length_all = 0;
    obj_length = 0;
    ctx = nullptr;
    h_prov = nullptr;
    flags = 0;
    alg_id = 0;
    txt_hashes = nullptr;
    txt_length = 0;
    count = 0;
}
