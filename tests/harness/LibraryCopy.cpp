#include "harness/LibraryCopy.h"

#include <dlfcn.h>

#include <filesystem>
#include <stdexcept>

namespace kel::test {
namespace {

template <class Fn>
void Resolve(void* handle, const char* name, Fn& fn) {
    void* symbol = dlsym(handle, name);
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
    handle_ = dlopen(library_path().c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        throw std::runtime_error(std::string("cannot load the library copy: ") + dlerror());
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
        dlclose(handle_);
        handle_ = nullptr;
    }
}

}  // namespace kel::test
