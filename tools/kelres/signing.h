// The publisher's keys and signatures, as the package commands use them.
#pragma once

#include <string>

#include "KELResMgr/download/PackageSignature.h"
#include "tools/kelres/package_signing.h"

namespace kel::tool {

// The key pair in the private key file at path (as kelres keygen writes it). Throws
// CommandError naming the file.
platform::P256KeyPair LoadPrivateKey(const std::string& path);

// The public keys of an option's value: key texts separated by blanks or commas, as in the
// package_key setting, or the name of a file holding them (lines beginning with '#' and a private
// key there are passed over: a private key file gives its public key). Throws CommandError when a
// key cannot be read: a check with it would trust nothing.
KeyList LoadPublicKeys(const std::string& value);

// Replaces the package at path by the same package signed with key, whole or not at all.
// Throws CommandError.
void SignInPlace(const std::string& path, const platform::P256KeyPair& key);

// The start of the key's text, enough for a person to tell keys apart: "p256:0123456789abcdef...".
std::string ShortKeyText(const platform::P256PublicKey& key);

// "signed by p256:0123abcd..." (with the key's place when there are several), or what is wrong.
std::string SignatureText(const SignatureCheck& check, const KeyList& keys);

}  // namespace kel::tool
