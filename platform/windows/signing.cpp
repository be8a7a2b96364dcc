#include "platform/signing.h"

#include <vector>

#include "platform/windows/bcrypt_key.h"

namespace kel::platform {

using namespace bcrypt;  // NOLINT: the helpers of this folder

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
