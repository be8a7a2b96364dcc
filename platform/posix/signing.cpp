#include "platform/signing.h"

#include <vector>

#include "platform/posix/openssl_key.h"

namespace kel::platform {

using namespace openssl;  // NOLINT: the helpers of this folder

P256KeyPair GenerateP256Key() {
    const Owned<EVP_PKEY> key =
        Require(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"), "make a key");
    P256KeyPair pair;
    BIGNUM* raw_scalar = nullptr;
    if (EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_PRIV_KEY, &raw_scalar) != 1) {
        Fail("read the new key");
    }
    const Owned<BIGNUM> scalar(raw_scalar);
    ToFixed(scalar.get(), pair.private_key.data());
    std::array<unsigned char, 65> point{};
    std::size_t point_size = 0;
    if (EVP_PKEY_get_octet_string_param(key.get(), OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point.data(),
                                        point.size(), &point_size) != 1 ||
        point_size != point.size() || point[0] != kUncompressedPoint) {
        Fail("read the new key");
    }
    std::copy(point.begin() + 1, point.end(), pair.public_key.begin());
    return pair;
}

P256Signature SignP256(const P256KeyPair& key, const Sha256Digest& digest) {
    const Owned<EVP_PKEY> imported = ImportKey(key.public_key, &key.private_key);
    if (!imported) {
        throw CryptoError("cannot sign: the private key is no key of the curve P-256");
    }
    const Owned<EVP_PKEY_CTX> context =
        Require(EVP_PKEY_CTX_new_from_pkey(nullptr, imported.get(), nullptr), "sign");
    std::size_t der_size = 0;
    if (EVP_PKEY_sign_init(context.get()) != 1 ||
        EVP_PKEY_sign(context.get(), nullptr, &der_size, digest.data(), digest.size()) != 1) {
        Fail("sign");
    }
    std::vector<unsigned char> der(der_size);
    if (EVP_PKEY_sign(context.get(), der.data(), &der_size, digest.data(), digest.size()) != 1) {
        Fail("sign");
    }
    const unsigned char* at = der.data();
    const Owned<ECDSA_SIG> sig =
        Require(d2i_ECDSA_SIG(nullptr, &at, static_cast<long>(der_size)), "read the signature");
    P256Signature signature{};
    ToFixed(ECDSA_SIG_get0_r(sig.get()), signature.data());
    ToFixed(ECDSA_SIG_get0_s(sig.get()), signature.data() + kCoordinateSize);
    return signature;
}

}  // namespace kel::platform
