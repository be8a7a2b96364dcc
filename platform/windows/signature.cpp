#include "platform/signature.h"

#include <windows.h>

#include <bcrypt.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace kel::platform {
namespace {

constexpr ULONG kCoordinateSize = 32;
constexpr NTSTATUS kSuccess = 0;
constexpr NTSTATUS kInvalidSignature = static_cast<NTSTATUS>(0xC000A000L);

[[noreturn]] void Fail(const char* what, NTSTATUS status) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(status));
    throw CryptoError(std::string("cannot ") + what + ": bcrypt status " + text);
}

void Check(NTSTATUS status, const char* what) {
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

Algorithm OpenAlgorithm(LPCWSTR name) {
    BCRYPT_ALG_HANDLE handle = nullptr;
    Check(BCryptOpenAlgorithmProvider(&handle, name, nullptr, 0), "open a crypto provider");
    return Algorithm(handle);
}

// BCRYPT_ECCKEY_BLOB, then X and Y, then (for a private blob) the scalar.
std::vector<unsigned char> KeyBlob(const P256PublicKey& public_key,
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
Key ImportKey(BCRYPT_ALG_HANDLE algorithm, const P256PublicKey& public_key,
              const P256PrivateKey* private_key) {
    std::vector<unsigned char> blob = KeyBlob(public_key, private_key);
    BCRYPT_KEY_HANDLE handle = nullptr;
    const NTSTATUS status = BCryptImportKeyPair(
        algorithm, nullptr, private_key != nullptr ? BCRYPT_ECCPRIVATE_BLOB : BCRYPT_ECCPUBLIC_BLOB,
        &handle, blob.data(), static_cast<ULONG>(blob.size()), 0);
    SecureZeroMemory(blob.data(), blob.size());
    return status == kSuccess ? Key(handle) : Key();
}

}  // namespace

struct Sha256::State {
    Algorithm algorithm;
    Hash hash;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
    state_->algorithm = OpenAlgorithm(BCRYPT_SHA256_ALGORITHM);
    BCRYPT_HASH_HANDLE handle = nullptr;
    // The system keeps the hash object (from Windows 7 on).
    Check(BCryptCreateHash(state_->algorithm.get(), &handle, nullptr, 0, nullptr, 0, 0),
          "start a hash");
    state_->hash.reset(handle);
}

Sha256::~Sha256() = default;

void Sha256::Update(const void* data, std::size_t size) {
    auto* bytes = static_cast<unsigned char*>(const_cast<void*>(data));
    while (size > 0) {
        const auto part = static_cast<ULONG>(std::min<std::size_t>(size, 1u << 30));
        Check(BCryptHashData(state_->hash.get(), bytes, part, 0), "hash");
        bytes += part;
        size -= part;
    }
}

Sha256Digest Sha256::Finish() {
    Sha256Digest digest{};
    Check(BCryptFinishHash(state_->hash.get(), digest.data(), digest.size(), 0), "finish a hash");
    return digest;
}

bool IsP256PublicKey(const P256PublicKey& key) {
    const Algorithm algorithm = OpenAlgorithm(BCRYPT_ECDSA_P256_ALGORITHM);
    return ImportKey(algorithm.get(), key, nullptr) != nullptr;
}

bool VerifyP256(const P256PublicKey& key, const Sha256Digest& digest,
                const P256Signature& signature) {
    const Algorithm algorithm = OpenAlgorithm(BCRYPT_ECDSA_P256_ALGORITHM);
    const Key imported = ImportKey(algorithm.get(), key, nullptr);
    if (!imported) {
        return false;
    }
    Sha256Digest hashed = digest;
    P256Signature taken = signature;
    const NTSTATUS status = BCryptVerifySignature(imported.get(), nullptr, hashed.data(),
                                                  hashed.size(), taken.data(), taken.size(), 0);
    if (status == kSuccess) {
        return true;
    }
    if (status == kInvalidSignature) {
        return false;
    }
    Fail("verify", status);
}

P256KeyPair GenerateP256Key() {
    const Algorithm algorithm = OpenAlgorithm(BCRYPT_ECDSA_P256_ALGORITHM);
    BCRYPT_KEY_HANDLE handle = nullptr;
    Check(BCryptGenerateKeyPair(algorithm.get(), &handle, 256, 0), "make a key");
    const Key key(handle);
    Check(BCryptFinalizeKeyPair(key.get(), 0), "make a key");
    std::vector<unsigned char> blob(sizeof(BCRYPT_ECCKEY_BLOB) + 3 * kCoordinateSize);
    ULONG size = 0;
    Check(BCryptExportKey(key.get(), nullptr, BCRYPT_ECCPRIVATE_BLOB, blob.data(),
                          static_cast<ULONG>(blob.size()), &size, 0),
          "read the new key");
    if (size != blob.size()) {
        Fail("read the new key", 0);
    }
    P256KeyPair pair;
    const unsigned char* at = blob.data() + sizeof(BCRYPT_ECCKEY_BLOB);
    std::memcpy(pair.public_key.data(), at, pair.public_key.size());
    std::memcpy(pair.private_key.data(), at + pair.public_key.size(), pair.private_key.size());
    SecureZeroMemory(blob.data(), blob.size());
    return pair;
}

P256Signature SignP256(const P256KeyPair& key, const Sha256Digest& digest) {
    const Algorithm algorithm = OpenAlgorithm(BCRYPT_ECDSA_P256_ALGORITHM);
    const Key imported = ImportKey(algorithm.get(), key.public_key, &key.private_key);
    if (!imported) {
        throw CryptoError("cannot sign: the private key is no key of the curve P-256");
    }
    Sha256Digest hashed = digest;
    P256Signature signature{};
    ULONG size = 0;
    Check(BCryptSignHash(imported.get(), nullptr, hashed.data(), hashed.size(), signature.data(),
                         signature.size(), &size, 0),
          "sign");
    if (size != signature.size()) {
        Fail("sign", 0);
    }
    return signature;
}

}  // namespace kel::platform
