#include "harness/LibraryCopy.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <filesystem>
#include <stdexcept>

namespace kel::test {
namespace {

#if defined(_WIN32)
void* Load(const std::string& path) {
    return reinterpret_cast<void*>(LoadLibraryA(path.c_str()));
}
void* Symbol(void* handle, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name));
}
void Close(void* handle) {
    FreeLibrary(static_cast<HMODULE>(handle));
}
std::string LoadError() {
    return "error " + std::to_string(GetLastError());
}
#else
void* Load(const std::string& path) {
    return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}
void* Symbol(void* handle, const char* name) {
    return dlsym(handle, name);
}
void Close(void* handle) {
    dlclose(handle);
}
std::string LoadError() {
    return dlerror();
}
#endif

template <class Fn>
void Resolve(void* handle, const char* name, Fn& fn) {
    void* symbol = Symbol(handle, name);
    if (symbol == nullptr) {
        throw std::runtime_error(std::string("the library does not export ") + name);
    }
    fn = reinterpret_cast<Fn>(symbol);
}

}  // namespace

std::string BuiltLibraryPath() {
    return KELRES_LIBRARY_PATH;
}

LibraryCopy::LibraryCopy(const std::optional<std::string>& settings) : folder_("kelres-lib-") {
    std::filesystem::copy_file(BuiltLibraryPath(), library_path());
    if (settings) {
        WriteSettings(*settings);
    }
    handle_ = Load(library_path());
    if (handle_ == nullptr) {
        throw std::runtime_error("cannot load the library copy: " + LoadError());
    }
#define KELRES_RESOLVE(name) Resolve(handle_, #name, name);
    KELRES_EXPORTS(KELRES_RESOLVE)
#undef KELRES_RESOLVE
}

LibraryCopy::~LibraryCopy() {
    Unload();
}

void LibraryCopy::Unload() {
    if (handle_ != nullptr) {
        Close(handle_);
        handle_ = nullptr;
    }
}

}  // namespace kel::test
