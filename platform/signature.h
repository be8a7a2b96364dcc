// The system's own cryptography for signed packages: SHA-256, and ECDSA on the curve P-256
// (libcrypto on Linux, bcrypt on Windows, where both exist from Windows 7 on).
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>

namespace kel::platform {

using Sha256Digest = std::array<unsigned char, 32>;
// A public key: the point's X and Y coordinates, 32 big-endian bytes each.
using P256PublicKey = std::array<unsigned char, 64>;
// A private key: the secret scalar, 32 big-endian bytes.
using P256PrivateKey = std::array<unsigned char, 32>;
// A signature: r and s, 32 big-endian bytes each.
using P256Signature = std::array<unsigned char, 64>;

// The system's cryptography failed (no provider, no memory), as opposed to a signature that
// does not verify. Carries the operation and the library's own error text or status.
class CryptoError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// SHA-256 of a stream of bytes. Used by one thread at a time. Throws CryptoError.
class Sha256 {
  public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void Update(const void* data, std::size_t size);
    // The digest of everything given; the object is spent afterwards.
    Sha256Digest Finish();

    struct State;

  private:
    std::unique_ptr<State> state_;
};

// True when key is a point of the curve (anything else could never verify a signature, and a
// key that cannot be read must not pass for no key). Throws CryptoError.
bool IsP256PublicKey(const P256PublicKey& key);

// True when signature is the key's ECDSA signature of digest; false for any other signature, and
// for a key that is no point of the curve. Throws CryptoError.
bool VerifyP256(const P256PublicKey& key, const Sha256Digest& digest,
                const P256Signature& signature);

}  // namespace kel::platform
