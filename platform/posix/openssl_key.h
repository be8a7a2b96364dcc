// libcrypto's objects as owned values, its errors as CryptoError, and the curve's keys as it
// holds them: shared by the verification (signature.cpp) and the tool's signing (signing.cpp).
#pragma once

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <algorithm>
#include <array>
#include <memory>
#include <string>

#include "platform/signature.h"

namespace kel::platform::openssl {

inline constexpr char kGroupName[] = "prime256v1";
inline constexpr std::size_t kCoordinateSize = 32;
inline constexpr unsigned char kUncompressedPoint = 0x04;

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
[[noreturn]] inline void Fail(const char* what) {
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

inline std::array<unsigned char, 65> EncodedPoint(const P256PublicKey& key) {
    std::array<unsigned char, 65> point{};
    point[0] = kUncompressedPoint;
    std::copy(key.begin(), key.end(), point.begin() + 1);
    return point;
}

// The key as libcrypto holds it; null when the point is not on the curve. With a private key
// given, a key that can sign.
inline Owned<EVP_PKEY> ImportKey(const P256PublicKey& public_key,
                                 const P256PrivateKey* private_key) {
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

inline void ToFixed(const BIGNUM* number, unsigned char* out) {
    if (BN_bn2binpad(number, out, kCoordinateSize) != static_cast<int>(kCoordinateSize)) {
        Fail("write a number");
    }
}

}  // namespace kel::platform::openssl
