#include "KELResMgr/download/PackageSignature.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>

#include "KELResMgr/base/ResTrace.h"
#include "KELResMgr/settings/Config.h"

namespace kel {
namespace {

using platform::File;

constexpr char kFn[] = "[CheckPackageSignature] ";
constexpr char kHexDigits[] = "0123456789abcdef";
// The covered bytes are hashed in chunks of this size: one sequential pass.
constexpr std::size_t kHashChunkSize = 256 * 1024;
// A block that is not the last bytes is looked for as far back as an end record can lie.
constexpr std::uint64_t kEndRecordSize = 22;
constexpr std::uint64_t kMaxCommentLength = 65535;
constexpr std::uint64_t kTailSpan = kEndRecordSize + kMaxCommentLength;
constexpr unsigned char kEndRecordSignature[] = {'P', 'K', 5, 6};
constexpr unsigned char kPackageHeader[] = {'K', 'E', 'L', 1};

template <std::size_t N>
std::string Hex(const std::array<unsigned char, N>& bytes) {
    std::string text;
    text.reserve(2 * N);
    for (const unsigned char byte : bytes) {
        text.push_back(kHexDigits[byte >> 4]);
        text.push_back(kHexDigits[byte & 0x0F]);
    }
    return text;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

template <std::size_t N>
std::optional<std::array<unsigned char, N>> ParseHex(std::string_view text) {
    if (text.size() != 2 * N) {
        return std::nullopt;
    }
    std::array<unsigned char, N> bytes{};
    for (std::size_t i = 0; i < N; ++i) {
        const int high = HexValue(text[2 * i]);
        const int low = HexValue(text[2 * i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        bytes[i] = static_cast<unsigned char>(high << 4 | low);
    }
    return bytes;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// The signature that a block of kSignatureBlockSize bytes holds; nothing when it is none.
std::optional<platform::P256Signature> ParseBlock(std::string_view block) {
    if (block.size() != kSignatureBlockSize || !StartsWith(block, kSignatureMagic)) {
        return std::nullopt;
    }
    return ParseHex<64>(block.substr(kSignatureMagicSize));
}

// Splits text at blanks and commas (lines too), leaving out lines that begin with '#'.
std::vector<std::string_view> Tokens(std::string_view text, bool skip_comments) {
    std::vector<std::string_view> tokens;
    bool line_start = true;
    bool in_comment = false;
    std::size_t start = std::string_view::npos;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        const char c = i < text.size() ? text[i] : '\n';
        const bool separator = c == ' ' || c == '\t' || c == ',' || c == '\r' || c == '\n';
        if (in_comment) {
            in_comment = c != '\n';
            line_start = c == '\n';
            continue;
        }
        if (skip_comments && line_start && c == '#') {
            in_comment = true;
            continue;
        }
        if (separator && start != std::string_view::npos) {
            tokens.push_back(text.substr(start, i - start));
            start = std::string_view::npos;
        } else if (!separator && start == std::string_view::npos) {
            start = i;
        }
        line_start = c == '\n' || (line_start && separator && c != ',');
    }
    return tokens;
}

// The last bytes of file, at most span of them, and where they begin.
std::string Tail(File& file, std::uint64_t size, std::uint64_t span, std::uint64_t& begins) {
    const auto take = static_cast<std::size_t>(std::min(size, span));
    begins = size - take;
    std::string tail(take, '\0');
    if (file.ReadAt(begins, tail.data(), take) != take) {
        throw platform::FileError("read", file.path(), 0);
    }
    return tail;
}

// Hashes the first count bytes of file, in order, once; into out too when given.
void HashPrefix(File& file, std::uint64_t count, platform::Sha256& hash, File* out = nullptr) {
    std::vector<unsigned char> chunk(
        static_cast<std::size_t>(std::clamp<std::uint64_t>(count, 1, kHashChunkSize)));
    std::uint64_t at = 0;
    while (at < count) {
        const auto want =
            static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), count - at));
        if (file.ReadAt(at, chunk.data(), want) != want) {
            throw platform::FileError("read", file.path(), 0);  // shortened meanwhile
        }
        hash.Update(chunk.data(), want);
        if (out != nullptr) {
            out->Write(chunk.data(), want);
        }
        at += want;
    }
}

SignatureCheck Verdict(SignatureVerdict verdict, std::string why) {
    SignatureCheck check;
    check.verdict = verdict;
    check.why = std::move(why);
    return check;
}

SignatureCheck CheckOpenPackage(File& file, const KeyList& keys) {
    const std::uint64_t size = file.Size();
    std::uint64_t tail_begins = 0;
    const std::string tail = Tail(file, size, kTailSpan + kSignatureBlockSize, tail_begins);
    const std::optional<platform::P256Signature> signature =
        tail.size() >= kSignatureBlockSize
            ? ParseBlock(std::string_view(tail).substr(tail.size() - kSignatureBlockSize))
            : std::nullopt;
    if (!signature) {
        if (tail.find(kSignatureMagic) != std::string::npos) {
            return Verdict(SignatureVerdict::kDamaged,
                           "its signature is not whole, or other bytes follow it");
        }
        return Verdict(SignatureVerdict::kUnsigned, "it is not signed");
    }
    platform::Sha256 hash;
    HashPrefix(file, size - kSignatureBlockSize, hash);
    const platform::Sha256Digest digest = hash.Finish();
    for (std::size_t i = 0; i < keys.keys.size(); ++i) {
        if (platform::VerifyP256(keys.keys[i], digest, *signature)) {
            SignatureCheck check;
            check.verdict = SignatureVerdict::kSigned;
            check.key = i;
            return check;
        }
    }
    return Verdict(SignatureVerdict::kNotVerified,
                   keys.keys.size() == 1
                       ? "its signature is not the key's: the package was altered, or signed "
                         "with another key"
                       : "its signature is none of the keys': the package was altered, or signed "
                         "with another key");
}

}  // namespace

std::string PublicKeyText(const platform::P256PublicKey& key) {
    return kPublicKeyPrefix + Hex(key);
}

std::optional<platform::P256PublicKey> ParsePublicKey(std::string_view text) {
    if (!StartsWith(text, kPublicKeyPrefix)) {
        return std::nullopt;
    }
    std::optional<platform::P256PublicKey> key =
        ParseHex<64>(text.substr(sizeof kPublicKeyPrefix - 1));
    if (!key || !platform::IsP256PublicKey(*key)) {
        return std::nullopt;
    }
    return key;
}

KeyList ParseKeyList(std::string_view text) {
    KeyList list;
    for (const std::string_view token : Tokens(text, false)) {
        try {
            if (std::optional<platform::P256PublicKey> key = ParsePublicKey(token)) {
                list.keys.push_back(*key);
                continue;
            }
        } catch (const platform::CryptoError&) {
            // a key the system cannot take is no key: fail closed
        }
        list.unreadable.emplace_back(token);
    }
    return list;
}

SignatureCheck CheckPackageSignature(const std::string& path, const KeyList& keys) {
    if (!keys.usable()) {
        return Verdict(SignatureVerdict::kUnusableKeys,
                       keys.unreadable.empty() ? "no key is given"
                                               : "\"" + keys.unreadable.front() +
                                                     "\" is no public key (p256: and 128 "
                                                     "hexadecimal digits of a point of P-256)");
    }
    try {
        File file = File::TryOpen(path, File::Mode::kRead);
        if (!file.is_open()) {
            return Verdict(SignatureVerdict::kUnreadable, "it cannot be opened");
        }
        return CheckOpenPackage(file, keys);
    } catch (const platform::FileError& error) {
        return Verdict(SignatureVerdict::kUnreadable, error.what());
    } catch (const platform::CryptoError& error) {
        return Verdict(SignatureVerdict::kNotVerified, error.what());
    }
}

bool PackageIsTrusted(const std::string& path) {
    const std::string setting = ReadConfig(config::kDownload, config::kPackageKey, "");
    if (setting.empty()) {
        return true;  // no key set: every package is trusted, signed or not
    }
    const SignatureCheck check = CheckPackageSignature(path, ParseKeyList(setting));
    if (check.ok()) {
        return true;
    }
    KEL_TRACE(kFn, "%s refused: %s (package_key in [download])", path.c_str(), check.why.c_str());
    return false;
}

void WriteSignedPackage(const std::string& input, File& out, const platform::P256KeyPair& key) {
    File file = File::Open(input, File::Mode::kRead);
    const std::uint64_t size = file.Size();
    std::array<unsigned char, sizeof kPackageHeader> header{};
    if (file.ReadAt(0, header.data(), header.size()) != header.size() ||
        std::memcmp(header.data(), kPackageHeader, header.size()) != 0) {
        throw std::runtime_error(input +
                                 " is not a package (it must begin with \"KEL\" and "
                                 "version 1)");
    }
    std::uint64_t tail_begins = 0;
    const std::string tail = Tail(file, size, kTailSpan, tail_begins);
    // The end record whose comment reaches exactly to the end of the file.
    std::size_t record = std::string::npos;
    for (std::size_t i = tail.size() >= kEndRecordSize ? tail.size() - kEndRecordSize + 1 : 0;
         i-- > 0;) {
        const auto* at = reinterpret_cast<const unsigned char*>(tail.data() + i);
        if (std::memcmp(at, kEndRecordSignature, sizeof kEndRecordSignature) == 0 &&
            i + kEndRecordSize + (at[20] | at[21] << 8) == tail.size()) {
            record = i;
            break;
        }
    }
    if (record == std::string::npos || tail_begins + record < header.size()) {
        throw std::runtime_error(input + " has no end record whose comment ends the file");
    }
    std::string_view comment = std::string_view(tail).substr(record + kEndRecordSize);
    if (comment.size() >= kSignatureBlockSize &&
        ParseBlock(comment.substr(comment.size() - kSignatureBlockSize))) {
        comment.remove_suffix(kSignatureBlockSize);  // signed before: signed anew
    }
    const std::size_t length = comment.size() + kSignatureBlockSize;
    if (length > kMaxCommentLength) {
        throw std::runtime_error(input + ": its archive comment leaves no room for a signature");
    }
    const unsigned char length_field[2] = {static_cast<unsigned char>(length & 0xFF),
                                           static_cast<unsigned char>(length >> 8)};
    platform::Sha256 hash;
    HashPrefix(file, tail_begins + record + kEndRecordSize - 2, hash, &out);
    hash.Update(length_field, sizeof length_field);
    out.Write(length_field, sizeof length_field);
    hash.Update(comment.data(), comment.size());
    out.Write(comment.data(), comment.size());
    const std::string block = kSignatureMagic + Hex(platform::SignP256(key, hash.Finish()));
    out.Write(block.data(), block.size());
}

std::string PrivateKeyFileText(const platform::P256KeyPair& key) {
    return "# A private key of kelres sign. Clients whose package_key lists the public key below\n"
           "# unpack what it signs: keep this file secret.\n" +
           std::string(kPrivateKeyPrefix) + Hex(key.private_key) + "\n" +
           PublicKeyText(key.public_key) + "\n";
}

platform::P256KeyPair ReadPrivateKey(std::string_view text) {
    std::optional<platform::P256PrivateKey> private_key;
    std::optional<platform::P256PublicKey> public_key;
    for (const std::string_view token : Tokens(text, true)) {
        if (StartsWith(token, kPrivateKeyPrefix)) {
            private_key = ParseHex<32>(token.substr(sizeof kPrivateKeyPrefix - 1));
        } else if (StartsWith(token, kPublicKeyPrefix)) {
            public_key = ParsePublicKey(token);
        }
    }
    if (!private_key || !public_key) {
        throw std::runtime_error(
            "it holds no private key (p256-private: and 64 hexadecimal "
            "digits, then its public key)");
    }
    platform::P256KeyPair pair{*private_key, *public_key};
    // A public key that is not the private key's own would sign what no client accepts.
    const platform::Sha256Digest probe{};
    if (!platform::VerifyP256(pair.public_key, probe, platform::SignP256(pair, probe))) {
        throw std::runtime_error("its public key is not the private key's own");
    }
    return pair;
}

}  // namespace kel
