#include "platform/signature.h"

#include "platform/windows/bcrypt_key.h"

#include <windows.h>

#include <bcrypt.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace kel::platform {
using namespace bcrypt;  // NOLINT: the helpers of this folder

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

}  // namespace kel::platform
