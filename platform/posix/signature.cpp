#include "platform/signature.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <vector>

namespace kel::platform {
namespace {

constexpr char kGroupName[] = "prime256v1";
constexpr std::size_t kCoordinateSize = 32;
constexpr unsigned char kUncompressedPoint = 0x04;

struct Deleter {
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
    void operator()(OSSL_PARAM_BLD* p) const { OSSL_PARAM_BLD_free(p); }
    void operator()(OSSL_PARAM* p) const { OSSL_PARAM_free(p); }
    void operator()(BIGNUM* p) const { BN_clear_free(p); }
    void operator()(ECDSA_SIG* p) const { ECDSA_SIG_free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, Deleter>;

// The library's last error, taken off its per-thread queue so that none is left behind.
[[noreturn]] void Fail(const char* what) {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    std::array<char, 256> text{};
    ERR_error_string_n(code, text.data(), text.size());
    throw CryptoError(std::string("cannot ") + what + ": " + text.data());
}

template <typename T>
Owned<T> Require(T* made, const char* what) {
    if (made == nullptr) {
        Fail(what);
    }
    return Owned<T>(made);
}

std::array<unsigned char, 65> EncodedPoint(const P256PublicKey& key) {
    std::array<unsigned char, 65> point{};
    point[0] = kUncompressedPoint;
    std::copy(key.begin(), key.end(), point.begin() + 1);
    return point;
}

// The key as libcrypto holds it; null when the point is not on the curve. With a private key
// given, a key that can sign.
Owned<EVP_PKEY> ImportKey(const P256PublicKey& public_key, const P256PrivateKey* private_key) {
    const Owned<OSSL_PARAM_BLD> build = Require(OSSL_PARAM_BLD_new(), "build a key");
    const auto point = EncodedPoint(public_key);
    Owned<BIGNUM> scalar;
    if (private_key != nullptr) {
        scalar =
            Require(BN_bin2bn(private_key->data(), private_key->size(), nullptr), "read a key");
    }
    if (!OSSL_PARAM_BLD_push_utf8_string(build.get(), OSSL_PKEY_PARAM_GROUP_NAME, kGroupName, 0) ||
        !OSSL_PARAM_BLD_push_octet_string(build.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(),
                                          point.size()) ||
        (scalar && !OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_PRIV_KEY, scalar.get()))) {
        Fail("build a key");
    }
    const Owned<OSSL_PARAM> params = Require(OSSL_PARAM_BLD_to_param(build.get()), "build a key");
    const Owned<EVP_PKEY_CTX> context =
        Require(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr), "make a key context");
    EVP_PKEY* made = nullptr;
    const int selection = private_key != nullptr ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY;
    if (EVP_PKEY_fromdata_init(context.get()) <= 0 ||
        EVP_PKEY_fromdata(context.get(), &made, selection, params.get()) <= 0) {
        ERR_clear_error();  // a point off the curve is refused here
        return nullptr;
    }
    Owned<EVP_PKEY> key(made);
    // fromdata takes the point as given; the check proper is the public key check.
    const Owned<EVP_PKEY_CTX> check =
        Require(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr), "check a key");
    if (EVP_PKEY_public_check(check.get()) != 1) {
        ERR_clear_error();
        return nullptr;
    }
    return key;
}

void ToFixed(const BIGNUM* number, unsigned char* out) {
    if (BN_bn2binpad(number, out, kCoordinateSize) != static_cast<int>(kCoordinateSize)) {
        Fail("write a number");
    }
}

}  // namespace

struct Sha256::State {
    Owned<EVP_MD_CTX> context;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
    state_->context = Require(EVP_MD_CTX_new(), "start a hash");
    if (EVP_DigestInit_ex(state_->context.get(), EVP_sha256(), nullptr) != 1) {
        Fail("start a hash");
    }
}

Sha256::~Sha256() = default;

void Sha256::Update(const void* data, std::size_t size) {
    if (size != 0 && EVP_DigestUpdate(state_->context.get(), data, size) != 1) {
        Fail("hash");
    }
}

Sha256Digest Sha256::Finish() {
    Sha256Digest digest{};
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(state_->context.get(), digest.data(), &size) != 1 ||
        size != digest.size()) {
        Fail("finish a hash");
    }
    return digest;
}

bool IsP256PublicKey(const P256PublicKey& key) {
    return ImportKey(key, nullptr) != nullptr;
}

bool VerifyP256(const P256PublicKey& key, const Sha256Digest& digest,
                const P256Signature& signature) {
    const Owned<EVP_PKEY> imported = ImportKey(key, nullptr);
    if (!imported) {
        return false;
    }
    // libcrypto takes the signature in DER.
    Owned<ECDSA_SIG> sig = Require(ECDSA_SIG_new(), "read a signature");
    Owned<BIGNUM> r = Require(BN_bin2bn(signature.data(), kCoordinateSize, nullptr), "read r");
    Owned<BIGNUM> s =
        Require(BN_bin2bn(signature.data() + kCoordinateSize, kCoordinateSize, nullptr), "read s");
    if (ECDSA_SIG_set0(sig.get(), r.get(), s.get()) != 1) {
        Fail("read a signature");
    }
    r.release();  // owned by sig now
    s.release();
    unsigned char* der = nullptr;
    const int der_size = i2d_ECDSA_SIG(sig.get(), &der);
    if (der_size <= 0) {
        Fail("encode a signature");
    }
    const std::vector<unsigned char> encoded(der, der + der_size);
    OPENSSL_free(der);
    const Owned<EVP_PKEY_CTX> context =
        Require(EVP_PKEY_CTX_new_from_pkey(nullptr, imported.get(), nullptr), "verify");
    if (EVP_PKEY_verify_init(context.get()) != 1) {
        Fail("verify");
    }
    const int verified = EVP_PKEY_verify(context.get(), encoded.data(), encoded.size(),
                                         digest.data(), digest.size());
    ERR_clear_error();  // a signature that does not verify leaves its reason queued
    return verified == 1;
}

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
