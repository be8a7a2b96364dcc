// Signed packages. The publisher's signature is the last bytes of the package, as the end of the
// zip archive's comment: clients built before signatures, and common unpackers, read a signed
// package as any other. It covers every byte before it, the header, every entry, the central
// directory and the end record (with its comment length) included; nothing may follow it.
//
//   signature block: "KELSIG1:" + 128 hexadecimal digits, r and s of an ECDSA signature on the
//   curve P-256 of the SHA-256 of the covered bytes.
//
// Hexadecimal text can never hold the end record's signature bytes, so the reader never finds
// an end record inside the block, and unpackers show it as text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file.h"
#include "platform/signature.h"

namespace kel {

inline constexpr char kSignatureMagic[] = "KELSIG1:";
inline constexpr std::size_t kSignatureMagicSize = sizeof kSignatureMagic - 1;
inline constexpr std::size_t kSignatureBlockSize = kSignatureMagicSize + 128;

// Key texts: "p256:" + 128 hexadecimal digits (X and Y) for a public key, "p256-private:" + 64
// (the scalar) for a private one. Digits of either case are read.
inline constexpr char kPublicKeyPrefix[] = "p256:";
inline constexpr char kPrivateKeyPrefix[] = "p256-private:";

std::string PublicKeyText(const platform::P256PublicKey& key);
// Nothing when text is no public key text, or names no point of the curve.
std::optional<platform::P256PublicKey> ParsePublicKey(std::string_view text);

// The keys of a list separated by blanks or commas (the package_key setting).
struct KeyList {
    std::vector<platform::P256PublicKey> keys;
    std::vector<std::string> unreadable;  // the texts that are no key, as given
    // Fail closed: a list with a text that is no key, or with no key at all, trusts nothing.
    bool usable() const { return unreadable.empty() && !keys.empty(); }
};
KeyList ParseKeyList(std::string_view text);

enum class SignatureVerdict {
    kSigned,        // by keys[key]
    kUnsigned,      // no signature block anywhere near the end
    kDamaged,       // a block that is not the package's last bytes, or not whole
    kNotVerified,   // a whole block that no key verifies: other bytes, or another key
    kUnusableKeys,  // the key list cannot be used (see KeyList::usable)
    kUnreadable,    // the file cannot be opened or read
};

struct SignatureCheck {
    SignatureVerdict verdict = SignatureVerdict::kUnreadable;
    std::size_t key = 0;  // kSigned: the index of the key that verifies
    std::string why;      // for a person, except for kSigned
    bool ok() const { return verdict == SignatureVerdict::kSigned; }
};

// Reads the package at path once, from its first byte to its last. Never throws but for memory.
SignatureCheck CheckPackageSignature(const std::string& path, const KeyList& keys);

// For the client: with an empty package_key in the settings (test mode's prefix applies), true;
// otherwise true only for a package signed by one of its keys. A refusal is traced with its
// reason.
bool PackageIsTrusted(const std::string& path);

// For the publisher's tool: writes the package at input, signed with key, to out (from its
// current position). A signature the package already carries is replaced; a comment of its
// archive is kept in front of the block. Throws std::runtime_error (incl. platform::FileError and
// platform::CryptoError) when input is no package with a well-formed end record, or its comment
// cannot take the block.
void WriteSignedPackage(const std::string& input, platform::File& out,
                        const platform::P256KeyPair& key);

// The private key file's text, and reading it back. ReadPrivateKey throws std::runtime_error when
// text holds no private key, or one whose public key is missing or not its own.
std::string PrivateKeyFileText(const platform::P256KeyPair& key);
platform::P256KeyPair ReadPrivateKey(std::string_view text);

}  // namespace kel
