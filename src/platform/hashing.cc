// The CNG hash calls over nettle: MD2, MD4, MD5, SHA1, SHA256, SHA384 and SHA512.
// Providers live in a fixed table; a hash object lives entirely in the memory its caller
// supplies (ObjectLength bytes), so creating a hash allocates nothing.
#include <bcrypt.h>
#include <nettle/nettle-meta.h>

#include <cstring>
#include <cwchar>

#include "platform/fault.h"

namespace {

struct algorithm {
    const wchar_t* id;
    const nettle_hash* hash;
};

const algorithm algorithms[] = {
    {BCRYPT_MD2_ALGORITHM, &nettle_md2},       {BCRYPT_MD4_ALGORITHM, &nettle_md4},
    {BCRYPT_MD5_ALGORITHM, &nettle_md5},       {BCRYPT_SHA1_ALGORITHM, &nettle_sha1},
    {BCRYPT_SHA256_ALGORITHM, &nettle_sha256}, {BCRYPT_SHA384_ALGORITHM, &nettle_sha384},
    {BCRYPT_SHA512_ALGORITHM, &nettle_sha512},
};

// Flags a hash provider accepts: BCRYPT_PROV_DISPATCH and BCRYPT_HASH_REUSABLE_FLAG. HMAC
// (BCRYPT_ALG_HANDLE_HMAC_FLAG) is not provided.
constexpr ULONG provider_flags = 0x00000001u | BCRYPT_HASH_REUSABLE_FLAG;
// The only implementation name besides null (the default) that Windows knows for these.
constexpr const wchar_t* primitive_provider = L"Microsoft Primitive Provider";

struct provider {
    const algorithm* alg;  // null while the slot is free
    ULONG flags;
};

constexpr unsigned max_providers = 32;
provider providers[max_providers];

// Start of every hash object; the nettle context follows at the next 16-byte boundary.
struct hash_header {
    uint64_t magic;
    const algorithm* alg;
    uint32_t reusable;
    uint32_t finished;  // a finished hash without the reusable flag takes no more calls
};

constexpr uint64_t hash_magic = 0x48534148544c4154ull;  // "TALTHASH"
constexpr size_t context_alignment = 16;

/// Bytes of a hash object of `alg`: the header, room to align the context, the context.
ULONG object_length(const algorithm* alg) {
    size_t bytes = sizeof(hash_header) + context_alignment - 1 + alg->hash->context_size;
    return static_cast<ULONG>((bytes + 7) & ~size_t{7});
}

/// The nettle context inside the object that starts at `header`.
void* context_of(hash_header* header) {
    uintptr_t at = reinterpret_cast<uintptr_t>(header + 1);
    at = (at + context_alignment - 1) & ~uintptr_t{context_alignment - 1};
    return reinterpret_cast<void*>(at);
}

/// The open provider that `handle` names, or null.
provider* provider_of(void* handle) {
    for (provider& p : providers) {
        if (&p == handle) return p.alg != nullptr ? &p : nullptr;
    }
    return nullptr;
}

/// The live hash object that `handle` names, or null (also for a provider handle).
hash_header* hash_of(void* handle) {
    if (handle == nullptr || provider_of(handle) != nullptr) return nullptr;
    auto* header = static_cast<hash_header*>(handle);
    return header->magic == hash_magic ? header : nullptr;
}

/// The armed fault status of `call`, or STATUS_SUCCESS.
NTSTATUS injected(const char* call, const wchar_t* name) {
    DWORD error = 0;
    return platform_fault_check(call, name, &error) ? static_cast<NTSTATUS>(error) : STATUS_SUCCESS;
}

}  // namespace

/// CNG: opens the provider of `pszAlgId` into *phAlgorithm. POSIX: a slot of the fixed table.
NTSTATUS WINAPI BCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE* phAlgorithm, LPCWSTR pszAlgId,
                                            LPCWSTR pszImplementation, ULONG dwFlags) {
    if (NTSTATUS status = injected("BCryptOpenAlgorithmProvider", pszAlgId)) return status;
    if (phAlgorithm == nullptr || pszAlgId == nullptr) return STATUS_INVALID_PARAMETER;
    if ((dwFlags & ~provider_flags) != 0) return STATUS_INVALID_PARAMETER;
    if (pszImplementation != nullptr && std::wcscmp(pszImplementation, primitive_provider) != 0) {
        return STATUS_NOT_FOUND;
    }
    const algorithm* alg = nullptr;
    for (const algorithm& a : algorithms) {
        if (std::wcscmp(a.id, pszAlgId) == 0) alg = &a;
    }
    if (alg == nullptr) return STATUS_NOT_FOUND;
    for (provider& p : providers) {
        if (p.alg != nullptr) continue;
        p.alg = alg;
        p.flags = dwFlags;
        *phAlgorithm = &p;
        return STATUS_SUCCESS;
    }
    return STATUS_NO_MEMORY;
}

/// CNG: reads "ObjectLength" or "HashDigestLength" of a provider or a hash as 4 bytes.
NTSTATUS WINAPI BCryptGetProperty(BCRYPT_HANDLE hObject, LPCWSTR pszProperty, PUCHAR pbOutput,
                                  ULONG cbOutput, ULONG* pcbResult, ULONG dwFlags) {
    if (NTSTATUS status = injected("BCryptGetProperty", pszProperty)) return status;
    const algorithm* alg = nullptr;
    if (provider* p = provider_of(hObject)) {
        alg = p->alg;
    } else if (hash_header* h = hash_of(hObject)) {
        alg = h->alg;
    } else {
        return STATUS_INVALID_HANDLE;
    }
    if (pszProperty == nullptr || pcbResult == nullptr || dwFlags != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG value = 0;
    if (std::wcscmp(pszProperty, BCRYPT_OBJECT_LENGTH) == 0) {
        value = object_length(alg);
    } else if (std::wcscmp(pszProperty, BCRYPT_HASH_LENGTH) == 0) {
        value = alg->hash->digest_size;
    } else {
        return STATUS_NOT_SUPPORTED;
    }
    *pcbResult = sizeof value;
    if (pbOutput == nullptr) return STATUS_SUCCESS;  // a size query, as on Windows
    if (cbOutput < sizeof value) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(pbOutput, &value, sizeof value);
    return STATUS_SUCCESS;
}

/// CNG: makes an unkeyed hash in the caller's object memory. The reusable flag, given here or
/// to the provider, lets the hash start over after each finish.
NTSTATUS WINAPI BCryptCreateHash(BCRYPT_ALG_HANDLE hAlgorithm, BCRYPT_HASH_HANDLE* phHash,
                                 PUCHAR pbHashObject, ULONG cbHashObject, PUCHAR pbSecret,
                                 ULONG cbSecret, ULONG dwFlags) {
    (void)pbSecret;  // an unkeyed hash ignores the secret, as Windows does without HMAC
    (void)cbSecret;
    if (NTSTATUS status = injected("BCryptCreateHash", nullptr)) return status;
    provider* p = provider_of(hAlgorithm);
    if (p == nullptr) return STATUS_INVALID_HANDLE;
    if (phHash == nullptr || (dwFlags & ~BCRYPT_HASH_REUSABLE_FLAG) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    // Windows can allocate the object itself when given none; this layer never allocates
    // per hash, so the caller's memory is required.
    if (pbHashObject == nullptr) return STATUS_INVALID_PARAMETER;
    if (cbHashObject < object_length(p->alg)) return STATUS_BUFFER_TOO_SMALL;
    auto* header = reinterpret_cast<hash_header*>(pbHashObject);
    if (reinterpret_cast<uintptr_t>(header) % alignof(hash_header) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    header->magic = hash_magic;
    header->alg = p->alg;
    header->reusable = ((dwFlags | p->flags) & BCRYPT_HASH_REUSABLE_FLAG) != 0;
    header->finished = 0;
    p->alg->hash->init(context_of(header));
    *phHash = header;
    return STATUS_SUCCESS;
}

/// CNG: adds cbInput bytes to the hash.
NTSTATUS WINAPI BCryptHashData(BCRYPT_HASH_HANDLE hHash, PUCHAR pbInput, ULONG cbInput,
                               ULONG dwFlags) {
    if (NTSTATUS status = injected("BCryptHashData", nullptr)) return status;
    hash_header* h = hash_of(hHash);
    if (h == nullptr || h->finished != 0) return STATUS_INVALID_HANDLE;
    if (dwFlags != 0 || (pbInput == nullptr && cbInput != 0)) return STATUS_INVALID_PARAMETER;
    if (cbInput != 0) h->alg->hash->update(context_of(h), cbInput, pbInput);
    return STATUS_SUCCESS;
}

/// CNG: writes the digest, whose exact size cbOutput must give; a reusable hash starts over.
NTSTATUS WINAPI BCryptFinishHash(BCRYPT_HASH_HANDLE hHash, PUCHAR pbOutput, ULONG cbOutput,
                                 ULONG dwFlags) {
    if (NTSTATUS status = injected("BCryptFinishHash", nullptr)) return status;
    hash_header* h = hash_of(hHash);
    if (h == nullptr || h->finished != 0) return STATUS_INVALID_HANDLE;
    if (dwFlags != 0 || pbOutput == nullptr || cbOutput != h->alg->hash->digest_size) {
        return STATUS_INVALID_PARAMETER;
    }
    void* context = context_of(h);
    h->alg->hash->digest(context, cbOutput, pbOutput);
    h->alg->hash->init(context);  // nettle resets too; start over explicitly all the same
    if (h->reusable == 0) h->finished = 1;
    return STATUS_SUCCESS;
}

/// CNG: ends the hash; its object memory is wiped and belongs to the caller again.
NTSTATUS WINAPI BCryptDestroyHash(BCRYPT_HASH_HANDLE hHash) {
    hash_header* h = hash_of(hHash);
    if (h == nullptr) return STATUS_INVALID_HANDLE;
    std::memset(static_cast<void*>(h), 0, object_length(h->alg));
    return STATUS_SUCCESS;
}

/// CNG: closes the provider; its slot is free again.
NTSTATUS WINAPI BCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE hAlgorithm, ULONG dwFlags) {
    provider* p = provider_of(hAlgorithm);
    if (p == nullptr) return STATUS_INVALID_HANDLE;
    if (dwFlags != 0) return STATUS_INVALID_PARAMETER;
    p->alg = nullptr;
    p->flags = 0;
    return STATUS_SUCCESS;
}
