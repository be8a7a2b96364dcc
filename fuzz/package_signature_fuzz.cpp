// The client's signature check on untrusted bytes: the input up to its first newline is the
// package_key setting, the rest the package file. Nothing may crash or read past the file, and a
// package passes only for a key that was given.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "FuzzScratch.h"
#include "KELResMgr/download/PackageSignature.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto* text = reinterpret_cast<const char*>(data);
    const auto* newline = static_cast<const char*>(std::memchr(text, '\n', size));
    const std::size_t key_length = newline != nullptr ? newline - text : size;
    const kel::KeyList keys = kel::ParseKeyList(std::string_view(text, key_length));
    const std::size_t body = newline != nullptr ? key_length + 1 : size;
    const std::string& path = kel::fuzz::WriteInput(data + body, size - body);
    const kel::SignatureCheck check = kel::CheckPackageSignature(path, keys);
    if (check.ok() && (!keys.usable() || check.key >= keys.keys.size())) {
        std::fprintf(stderr, "a package passed for key %zu of %zu\n", check.key, keys.keys.size());
        std::abort();
    }
    return 0;
}
