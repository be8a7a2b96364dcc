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

#include <array>
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

// The block's and the keys' texts, and the one pass over the covered bytes: the client checks
// with them, and the publisher's tool writes with them.
namespace signature {

// The end record, and how far back from the end it can lie: where a block that is not the last
// bytes is looked for.
inline constexpr std::uint64_t kEndRecordSize = 22;
inline constexpr std::uint64_t kMaxCommentLength = 65535;
inline constexpr std::uint64_t kTailSpan = kEndRecordSize + kMaxCommentLength;
inline constexpr unsigned char kEndRecordSignature[] = {'P', 'K', 5, 6};
inline constexpr unsigned char kPackageHeader[] = {'K', 'E', 'L', 1};

std::string Hex(const unsigned char* bytes, std::size_t size);
template <std::size_t N>
std::string Hex(const std::array<unsigned char, N>& bytes) {
    return Hex(bytes.data(), N);
}
// False, with out partly written, when text is not exactly 2 * size hexadecimal digits.
bool ParseHex(std::string_view text, unsigned char* out, std::size_t size);
template <std::size_t N>
std::optional<std::array<unsigned char, N>> ParseHex(std::string_view text) {
    std::array<unsigned char, N> bytes{};
    if (!ParseHex(text, bytes.data(), N)) {
        return std::nullopt;
    }
    return bytes;
}
inline bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// The signature that a block of kSignatureBlockSize bytes holds; nothing when it is none.
std::optional<platform::P256Signature> ParseBlock(std::string_view block);
// Splits text at blanks and commas (lines too), leaving out lines that begin with '#' when
// skip_comments.
std::vector<std::string_view> Tokens(std::string_view text, bool skip_comments);
// The last bytes of file, at most span of them, and where they begin.
std::string Tail(platform::File& file, std::uint64_t size, std::uint64_t span,
                 std::uint64_t& begins);
// Hashes the first count bytes of file, in order, once; writes them to out too when given.
void HashPrefix(platform::File& file, std::uint64_t count, platform::Sha256& hash,
                platform::File* out = nullptr);

}  // namespace signature

}  // namespace kel
