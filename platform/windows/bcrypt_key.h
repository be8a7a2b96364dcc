// bcrypt's handles as owned values, its failures as CryptoError, and the curve's keys as it
// takes them: shared by the verification (signature.cpp) and the tool's signing (signing.cpp).
#pragma once

#include <windows.h>

#include <bcrypt.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/signature.h"

namespace kel::platform::bcrypt {

inline constexpr ULONG kCoordinateSize = 32;
inline constexpr NTSTATUS kSuccess = 0;
inline constexpr NTSTATUS kInvalidSignature = static_cast<NTSTATUS>(0xC000A000L);

[[noreturn]] inline void Fail(const char* what, NTSTATUS status) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(status));
    throw CryptoError(std::string("cannot ") + what + ": bcrypt status " + text);
}

inline void Check(NTSTATUS status, const char* what) {
    if (status != kSuccess) {
        Fail(what, status);
    }
}

struct AlgorithmClose {
    void operator()(BCRYPT_ALG_HANDLE handle) const { BCryptCloseAlgorithmProvider(handle, 0); }
};
using Algorithm = std::unique_ptr<void, AlgorithmClose>;
struct KeyDestroy {
    void operator()(BCRYPT_KEY_HANDLE handle) const { BCryptDestroyKey(handle); }
};
using Key = std::unique_ptr<void, KeyDestroy>;
struct HashDestroy {
    void operator()(BCRYPT_HASH_HANDLE handle) const { BCryptDestroyHash(handle); }
};
using Hash = std::unique_ptr<void, HashDestroy>;

inline Algorithm OpenAlgorithm(LPCWSTR name) {
    BCRYPT_ALG_HANDLE handle = nullptr;
    Check(BCryptOpenAlgorithmProvider(&handle, name, nullptr, 0), "open a crypto provider");
    return Algorithm(handle);
}

// BCRYPT_ECCKEY_BLOB, then X and Y, then (for a private blob) the scalar.
inline std::vector<unsigned char> KeyBlob(const P256PublicKey& public_key,
                                          const P256PrivateKey* private_key) {
    BCRYPT_ECCKEY_BLOB header{};
    header.dwMagic =
        private_key != nullptr ? BCRYPT_ECDSA_PRIVATE_P256_MAGIC : BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
    header.cbKey = kCoordinateSize;
    std::vector<unsigned char> blob(sizeof header);
    std::memcpy(blob.data(), &header, sizeof header);
    blob.insert(blob.end(), public_key.begin(), public_key.end());
    if (private_key != nullptr) {
        blob.insert(blob.end(), private_key->begin(), private_key->end());
    }
    return blob;
}

// Null when the system refuses the key (a point off the curve).
inline Key ImportKey(BCRYPT_ALG_HANDLE algorithm, const P256PublicKey& public_key,
                     const P256PrivateKey* private_key) {
    std::vector<unsigned char> blob = KeyBlob(public_key, private_key);
    BCRYPT_KEY_HANDLE handle = nullptr;
    const NTSTATUS status = BCryptImportKeyPair(
        algorithm, nullptr, private_key != nullptr ? BCRYPT_ECCPRIVATE_BLOB : BCRYPT_ECCPUBLIC_BLOB,
        &handle, blob.data(), static_cast<ULONG>(blob.size()), 0);
    SecureZeroMemory(blob.data(), blob.size());
    return status == kSuccess ? Key(handle) : Key();
}

}  // namespace kel::platform::bcrypt
