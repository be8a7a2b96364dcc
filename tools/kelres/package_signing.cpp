#include "tools/kelres/package_signing.h"

#include <array>
#include <cstring>
#include <optional>
#include <stdexcept>

#include "KELResMgr/download/PackageSignature.h"

namespace kel {

using namespace signature;  // NOLINT: the texts and the pass that the client checks with
using platform::File;

std::string PublicKeyText(const platform::P256PublicKey& key) {
    return kPublicKeyPrefix + Hex(key);
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
