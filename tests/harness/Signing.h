// Signing test packages as the publisher does, with the library's inner code (for CORE tests).
#pragma once

#include <filesystem>
#include <string>

#include "KELResMgr/download/PackageSignature.h"
#include "platform/file.h"
#include "tools/kelres/package_signing.h"

namespace kel::test {

// Replaces the package at path by the same package signed with key.
inline void SignPackage(const std::string& path, const platform::P256KeyPair& key) {
    const std::string signed_path = path + ".signed";
    {
        platform::File out = platform::File::Open(signed_path, platform::File::Mode::kCreateWrite);
        WriteSignedPackage(path, out, key);
        out.Close();
    }
    std::filesystem::rename(signed_path, path);
}

}  // namespace kel::test
