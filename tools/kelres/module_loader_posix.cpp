#include <dlfcn.h>
#include <stdlib.h>

#include <system_error>

#include "platform/file_ops.h"
#include "tools/kelres/module_loader.h"
#include "tools/kelres/system_error_text.h"

namespace kel::tool::loader {

const char kLibraryFileName[] = "libKELResMgr.so";
const char kLibraryDefaultHelp[] =
    R"(   the library to load; default: $KELRES_LIBRARY, else libKELResMgr.so
                   beside kelres, else in the installed library folder next to kelres's)";

void* Open(const std::string& path, std::string* reason) {
    // RTLD_LOCAL: the exports are reached through dlsym only, as a client does. The library's
    // own dependency libKELPlatform.so is already loaded with kelres, so the library and kelres
    // share one registry of message receivers.
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        const char* text = dlerror();
        *reason = text != nullptr ? text : "unknown reason";
    }
    return module;
}

void* Symbol(void* module, const char* name) {
    return dlsym(module, name);
}

void Close(void* module) {
    dlclose(module);
}

FileVersion ReadFileVersion(const std::string& path) {
    FileVersion result;
    std::error_code ec;
    const std::filesystem::path real = std::filesystem::canonical(path, ec);
    if (ec) {
        result.file = path;
        result.reason = ec.message();
        return result;
    }
    result.file = real.string();
    // "libKELResMgr.so.1.0.0": the version follows ".so.", numbers and dots only.
    const std::string name = real.filename().string();
    const std::size_t at = name.rfind(".so.");
    const std::string version = at == std::string::npos ? "" : name.substr(at + 4);
    if (version.empty() || version.find_first_not_of("0123456789.") != std::string::npos ||
        version.front() == '.' || version.back() == '.') {
        result.reason = "its file name carries no version";
        return result;
    }
    result.version = version;
    return result;
}

std::filesystem::path ProgramFolder() {
    std::error_code ec;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path() : program.parent_path();
}

std::string MakePrivateFolder(const std::string& prefix, std::string* reason) {
    std::string pattern = platform::TempFolder() + prefix + "XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {  // mode 0700
        *reason = LastSystemErrorText();
        return {};
    }
    return pattern;
}

}  // namespace kel::tool::loader
