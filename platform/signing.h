// Signing, for the publisher's tool only (the library verifies, and never signs): a fresh key
// pair from the system's random source, and the signature of a digest. Throw CryptoError.
#pragma once

#include "platform/signature.h"

namespace kel::platform {

struct P256KeyPair {
    P256PrivateKey private_key{};
    P256PublicKey public_key{};
};
P256KeyPair GenerateP256Key();
// public_key must be the private key's own (as GenerateP256Key gave them).
P256Signature SignP256(const P256KeyPair& key, const Sha256Digest& digest);

}  // namespace kel::platform
