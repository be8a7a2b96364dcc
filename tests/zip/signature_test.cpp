// Signed packages: which bytes the signature covers, and that a key that cannot be read trusts
// nothing. Run with the system's own cryptography of each platform (libcrypto, bcrypt).
#include <gtest/gtest.h>

#include <filesystem>

#include "KELResMgr/download/Package.h"
#include "KELResMgr/download/PackageSignature.h"
#include "ZipTestSupport.h"
#include "harness/TempFolder.h"
#include "platform/file.h"
#include "platform/signing.h"
#include "tools/kelres/package_signing.h"

namespace kel {
namespace {

namespace fs = std::filesystem;
using test::CraftArchive;
using test::ReadFile;
using test::TempFolder;
using test::WriteFile;

#if defined(_WIN32)
constexpr bool kWineBcrypt = true;  // the suites run under Wine
#else
constexpr bool kWineBcrypt = false;
#endif

std::string SignedBytes(const std::string& unsigned_path, const std::string& signed_path,
                        const platform::P256KeyPair& key) {
    {
        platform::File out = platform::File::Open(signed_path, platform::File::Mode::kCreateWrite);
        WriteSignedPackage(unsigned_path, out, key);
        out.Close();
    }
    return ReadFile(signed_path).value_or("");
}

KeyList Keys(std::initializer_list<std::string> texts) {
    std::string list;
    for (const std::string& text : texts) {
        list += (list.empty() ? "" : ", ") + text;
    }
    return ParseKeyList(list);
}

// Catches a byte that the signature does not cover (header, entry data, central directory, end
// record, the signature itself), bytes after it accepted, a signature taken to another package,
// the wrong key trusted, an unsigned package passing for a signed one, a key list that trusts
// only its first key, and a key that cannot be read taken for no check at all.
TEST(PackageSignature, WhatTheSignatureCovers) {
    TempFolder tmp;
    const platform::P256KeyPair key = platform::GenerateP256Key();
    const platform::P256KeyPair other = platform::GenerateP256Key();
    const std::string key_text = PublicKeyText(key.public_key);
    const std::string other_text = PublicKeyText(other.public_key);
    const std::string header("KEL\x01", 4);
    const std::string archive =
        CraftArchive({{.name = "a.txt", .data = test::SampleText(5000), .deflate = true},
                      {.name = "b.txt", .data = "bravo"}},
                     {.comment = "kept comment"});
    WriteFile(tmp / "p.tsl", header + archive);
    const std::string good = SignedBytes(tmp / "p.tsl", tmp / "good.tsl", key);
    WriteFile(tmp / "q.tsl", header + CraftArchive({{.name = "a.txt", .data = "other"}}));
    const std::string theirs = SignedBytes(tmp / "q.tsl", tmp / "q-signed.tsl", key);
    const std::string by_other = SignedBytes(tmp / "p.tsl", tmp / "other.tsl", other);
    const std::size_t block = good.size() - kSignatureBlockSize;
    const std::size_t directory = good.find("PK\x01\x02");
    const std::size_t end_record = good.rfind("PK\x05\x06");
    // A byte changed: its bits flipped, or (in the signature's text) another hexadecimal digit.
    const auto changed = [&good](std::size_t at) {
        std::string bytes = good;
        bytes[at] = at >= good.size() - 128 ? (bytes[at] == '0' ? '1' : '0') : bytes[at] ^ 0x20;
        return bytes;
    };
    const std::string signature = good.substr(block);
    const std::string end_and_block = good.substr(end_record);
    using V = SignatureVerdict;
    const struct {
        const char* label;
        std::string bytes;
        KeyList keys;
        SignatureVerdict verdict;
        std::size_t key = 0;
    } rows[] = {
        {"signed", good, Keys({key_text}), V::kSigned},
        {"header's version byte", changed(3), Keys({key_text}), V::kNotVerified},
        {"header's K", changed(0), Keys({key_text}), V::kNotVerified},
        {"entry data", changed(header.size() + 40), Keys({key_text}), V::kNotVerified},
        {"central directory", changed(directory + 20), Keys({key_text}), V::kNotVerified},
        {"end record's comment length", changed(end_record + 20), Keys({key_text}),
         V::kNotVerified},
        {"comment before the signature", changed(block - 1), Keys({key_text}), V::kNotVerified},
        {"signature", changed(good.size() - 1), Keys({key_text}), V::kNotVerified},
        {"signature's marker", changed(block), Keys({key_text}), V::kUnsigned},
        {"bytes appended", good + "x", Keys({key_text}), V::kDamaged},
        {"second end record and the signature again",
         good + end_and_block.substr(0, 22) + signature, Keys({key_text}), V::kNotVerified},
        {"truncated signature", good.substr(0, good.size() - 1), Keys({key_text}), V::kDamaged},
        {"another package's signature",
         good.substr(0, block) + theirs.substr(theirs.size() - kSignatureBlockSize),
         Keys({key_text}), V::kNotVerified},
        {"wrong key", good, Keys({other_text}), V::kNotVerified},
        {"unsigned", header + archive, Keys({key_text}), V::kUnsigned},
        {"roll-over: the old key and the new", by_other, Keys({key_text, other_text}), V::kSigned,
         1},
        {"roll-over: still the old one", good, Keys({key_text, other_text}), V::kSigned, 0},
        {"a key that is no key beside the right one", good, Keys({key_text, "p256:00"}),
         V::kUnusableKeys},
        // Refused either way; Wine's bcrypt takes the point, and only the verification fails.
        {"a point off the curve", good, Keys({"p256:" + std::string(128, '1')}),
         kWineBcrypt ? V::kNotVerified : V::kUnusableKeys},
        {"no key", good, Keys({","}), V::kUnusableKeys},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        WriteFile(tmp / "row.tsl", row.bytes);
        const SignatureCheck check = CheckPackageSignature(tmp / "row.tsl", row.keys);
        EXPECT_EQ(check.verdict, row.verdict) << check.why;
        if (row.verdict == V::kSigned) {
            EXPECT_EQ(check.key, row.key);
        }
    }
}

// Catches a signed package that clients without a key would unpack otherwise than the unsigned
// one, and a signature that cannot be replaced by the next (re-signing with a new key).
TEST(PackageSignature, SignedPackageUnpacksAsBefore) {
    TempFolder tmp;
    const platform::P256KeyPair key = platform::GenerateP256Key();
    const platform::P256KeyPair next = platform::GenerateP256Key();
    WriteFile(tmp / "p.tsl",
              std::string("KEL\x01", 4) +
                  CraftArchive({{.name = "d/t.txt", .data = "text", .deflate = true}}));
    SignedBytes(tmp / "p.tsl", tmp / "signed.tsl", key);
    const std::string resigned = SignedBytes(tmp / "signed.tsl", tmp / "resigned.tsl", next);
    EXPECT_EQ(resigned.size(), ReadFile(tmp / "signed.tsl")->size());
    EXPECT_TRUE(
        CheckPackageSignature(tmp / "resigned.tsl", ParseKeyList(PublicKeyText(next.public_key)))
            .ok());
    for (const char* package : {"p.tsl", "signed.tsl", "resigned.tsl"}) {
        SCOPED_TRACE(package);
        const std::string target = tmp / (std::string(package) + "_files");
        ASSERT_TRUE(ExtractPackage(tmp / package, target, kPackageBodyOffset));
        EXPECT_EQ(ReadFile(target + "/d/t.txt"), "text");
    }
}

}  // namespace
}  // namespace kel
