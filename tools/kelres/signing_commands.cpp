// kelres keygen and sign: the publisher's key pair, and the signature that clients holding its
// public key ask of every package (package_key in [download] of Tessel.ini).
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>

#include "platform/signing.h"
#include "tools/kelres/commands.h"
#include "tools/kelres/private_file.h"
#include "tools/kelres/signing.h"
#include "tools/kelres/staged_file.h"

namespace kel::tool {
namespace {

namespace fs = std::filesystem;

// Key files are small: a longer file is no key file.
constexpr std::uintmax_t kMaxKeyFileSize = 64 * 1024;

std::string ReadKeyFile(const std::string& path) {
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(path, ec);
    if (ec || size > kMaxKeyFileSize) {
        throw CommandError("cannot read the key file " + path + ": " +
                           (ec ? ec.message() : "it is too long to be one"));
    }
    std::ifstream in(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in && !in.eof()) {
        throw CommandError("cannot read the key file " + path);
    }
    return text;
}

int RunKeygen(Arguments& args, Context& context) {
    const std::string path = args.Positionals(1, 1)[0];
    platform::P256KeyPair key;
    try {
        key = platform::GenerateP256Key();
    } catch (const platform::CryptoError& error) {
        throw CommandError(error.what());
    }
    WritePrivateFile(path, PrivateKeyFileText(key));
    context.console.Print(path +
                          ": private key written, readable by its owner only; keep it "
                          "secret. The public key, for package_key in [download] of "
                          "Tessel.ini:");
    context.console.Print(PublicKeyText(key.public_key));
    return kExitOk;
}

int RunSign(Arguments& args, Context& context) {
    const auto values = args.Positionals(2, 2);
    const std::string& package = values[0];
    const platform::P256KeyPair key = LoadPrivateKey(values[1]);
    SignInPlace(package, key);
    context.console.Print(package + ": signed by " + ShortKeyText(key.public_key));
    return kExitOk;
}

}  // namespace

std::string ShortKeyText(const platform::P256PublicKey& key) {
    return PublicKeyText(key).substr(0, sizeof kPublicKeyPrefix - 1 + 16) + "...";
}

platform::P256KeyPair LoadPrivateKey(const std::string& path) {
    try {
        return ReadPrivateKey(ReadKeyFile(path));
    } catch (const CommandError&) {
        throw;
    } catch (const std::exception& error) {
        throw CommandError("cannot read the private key " + path + ": " + error.what());
    }
}

KeyList LoadPublicKeys(const std::string& value) {
    KeyList keys = ParseKeyList(value);
    std::error_code ec;
    if (!keys.usable() && value.rfind(kPublicKeyPrefix, 0) != 0 && fs::is_regular_file(value, ec)) {
        std::istringstream lines(ReadKeyFile(value));
        std::string kept;
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind('#', 0) != 0 && line.rfind(kPrivateKeyPrefix, 0) != 0) {
                kept += line + "\n";
            }
        }
        keys = ParseKeyList(kept);
    }
    if (!keys.usable()) {
        throw CommandError("cannot read the key " + value + ": " +
                           (keys.unreadable.empty()
                                ? std::string("it holds no public key")
                                : "\"" + keys.unreadable.front() +
                                      "\" is no public key (p256: and 128 hexadecimal digits of "
                                      "a point of P-256)"));
    }
    return keys;
}

void SignInPlace(const std::string& path, const platform::P256KeyPair& key) {
    PartFile staged = StageBeside(path);
    try {
        WriteSignedPackage(path, staged.file(), key);
    } catch (const std::exception& error) {
        throw CommandError(std::string("cannot sign ") + path + ": " + error.what());
    }
    Commit(staged, path);
}

std::string SignatureText(const SignatureCheck& check, const KeyList& keys) {
    if (!check.ok()) {
        return check.verdict == SignatureVerdict::kUnsigned ? "unsigned"
                                                            : "bad signature: " + check.why;
    }
    std::string text = "signed by " + ShortKeyText(keys.keys[check.key]);
    if (keys.keys.size() > 1) {
        text += " (key " + std::to_string(check.key + 1) + " of " +
                std::to_string(keys.keys.size()) + ")";
    }
    return text;
}

std::vector<Command> SigningCommands() {
    return {
        {"keygen", "PRIVATE", "make the publisher's key pair",
         R"(Makes a key pair for signing packages (ECDSA on the curve P-256, with SHA-256) and
writes the private key to the new file PRIVATE, readable and writable by its owner only
(a file already there is never replaced). Prints the public key text as the last line:
put it in package_key in [download] of the clients' Tessel.ini, beside the keys already
there while clients move from one key to the next.)",
         false, RunKeygen},
        {"sign", "PACKAGE PRIVATE", "sign a package",
         R"(Signs PACKAGE with the private key in the file PRIVATE: the signature goes at the end
of the zip archive's comment, where clients without a key and common unpackers pass over
it, and covers every other byte of the package. A signature already there is replaced.
PACKAGE is replaced only when the signed package is complete.)",
         false, RunSign},
    };
}

}  // namespace kel::tool
