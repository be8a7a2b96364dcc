#include "KELResMgr/download/PackageSignature.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <span>
#include <stdexcept>

#include "KELResMgr/base/ResTrace.h"
#include "KELResMgr/settings/Config.h"

namespace kel {

using namespace signature;  // NOLINT: this file is their home

namespace {

using platform::File;

constexpr char kFn[] = "[CheckPackageSignature] ";
constexpr char kHexDigits[] = "0123456789abcdef";
// The covered bytes are hashed in chunks of this size: one sequential pass.
constexpr std::size_t kHashChunkSize = 256 * 1024;

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

namespace signature {

std::string Hex(const unsigned char* bytes, std::size_t size) {
    std::string text;
    text.reserve(2 * size);
    for (const unsigned char byte : std::span(bytes, size)) {
        text.push_back(kHexDigits[byte >> 4]);
        text.push_back(kHexDigits[byte & 0x0F]);
    }
    return text;
}

bool ParseHex(std::string_view text, unsigned char* out, std::size_t size) {
    if (text.size() != 2 * size) {
        return false;
    }
    for (std::size_t i = 0; i < size; ++i) {
        const int high = HexValue(text[2 * i]);
        const int low = HexValue(text[2 * i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        out[i] = static_cast<unsigned char>(high << 4 | low);
    }
    return true;
}

std::optional<platform::P256Signature> ParseBlock(std::string_view block) {
    if (block.size() != kSignatureBlockSize || !StartsWith(block, kSignatureMagic)) {
        return std::nullopt;
    }
    return ParseHex<64>(block.substr(kSignatureMagicSize));
}

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

std::string Tail(File& file, std::uint64_t size, std::uint64_t span, std::uint64_t& begins) {
    const auto take = static_cast<std::size_t>(std::min(size, span));
    begins = size - take;
    std::string tail(take, '\0');
    if (file.ReadAt(begins, tail.data(), take) != take) {
        throw platform::FileError("read", file.path(), 0);
    }
    return tail;
}

void HashPrefix(File& file, std::uint64_t count, platform::Sha256& hash, File* out) {
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

}  // namespace signature

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

}  // namespace kel
