// K_CRYPT: one message digest per stream of a run (the output and every input), all contexts
// sharing one hash provider and one allocation.
#pragma once

#include <windows.h>
#include <bcrypt.h>

#include <cstdint>

/// The hash provider's identifiers, indexed by alg_id: MD2, MD4, MD5, SHA1, SHA256, SHA384, SHA512.
extern const wchar_t* const K_CRYPT_ALG_ID[7];

class K_CRYPT {
public:
    uint64_t all_length = 0;
    uint64_t ctx_length = 0;
    uint64_t txt_length_all = 0;
    uint32_t obj_length = 0;
    BCRYPT_HASH_HANDLE* ctx = nullptr;
    BCRYPT_ALG_HANDLE h_prov = nullptr;
    uint32_t flags = 0;
    bool initialized = false;
    uint32_t alg_id = 0;
    uint8_t** txt_hashes = nullptr;
    uint32_t txt_length = 0;
    uint64_t count = 0;

    K_CRYPT() = default;
    K_CRYPT(const K_CRYPT&) = delete;
    K_CRYPT& operator=(const K_CRYPT&) = delete;
    ~K_CRYPT();

    /// Sets up `count` contexts of algorithm `alg_id` (0 to 6). Returns 0, the provider's
    /// status, or the last error of a failed allocation; every failure is reported.
    uint32_t init(uint64_t count, uint32_t alg_id);
    /// Adds `length` bytes to context `index`. Returns 0, 0xFFFFFFFF when not initialised, or
    /// the provider's status (reported).
    uint32_t hash(uint64_t index, const void* data, uint64_t length);
    /// Finishes every context into txt_hashes; reports the first failure only.
    void finish();
    /// Destroys the contexts, wipes and frees the allocation, closes the provider.
    void release();
};
