#include "platform/signature.h"

#include "platform/posix/openssl_key.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <vector>

namespace kel::platform {
using namespace openssl;  // NOLINT: the helpers of this folder

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

}  // namespace kel::platform
