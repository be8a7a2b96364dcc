// Signing packages, for the publisher: the private key file, and a signed copy of a package
// that clients with its public key in their package_key setting unpack.
#pragma once

#include <string>
#include <string_view>

#include "platform/file.h"
#include "platform/signature.h"
#include "platform/signing.h"

namespace kel {

std::string PublicKeyText(const platform::P256PublicKey& key);

// Writes the package at input, signed with key, to out (from its current position). A signature
// the package already carries is replaced; a comment of its archive is kept in front of the
// block. Throws std::runtime_error (incl. platform::FileError and platform::CryptoError) when
// input is no package with a well-formed end record, or its comment cannot take the block.
void WriteSignedPackage(const std::string& input, platform::File& out,
                        const platform::P256KeyPair& key);

// The private key file's text, and reading it back. ReadPrivateKey throws std::runtime_error when
// text holds no private key, or one whose public key is missing or not its own.
std::string PrivateKeyFileText(const platform::P256KeyPair& key);
platform::P256KeyPair ReadPrivateKey(std::string_view text);

}  // namespace kel
