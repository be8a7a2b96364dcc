// A host built against installed development files (pkg-config or CMake): it links the library
// and its platform library directly and calls both. Prints the folder the library made.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "KELResMgr.h"

namespace {

LRESULT Ignore(void*, HWND, UINT, WPARAM, LPARAM) {
    return 0;
}

}  // namespace

int main() {
    const HWND window = KelCreateReceiver(&Ignore, nullptr);
    if (window == 0 || IsWindow(window) != 1) {
        std::fputs("consumer: no receiver from libKELPlatform\n", stderr);
        return 1;
    }
    KelDestroyReceiver(window);

    // The library keeps its tree under $KELRES_COMMON_APPDATA, which the caller sets.
    CreateUserFolder("consumer");
    const char* base = std::getenv("KELRES_COMMON_APPDATA");
    const std::string folder =
        std::string(base != nullptr ? base : "") + "/Vorn Tessel/Resources/consumer";
    struct stat info {};
    if (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        std::fprintf(stderr, "consumer: the library made no folder %s\n", folder.c_str());
        return 1;
    }
    std::printf("%s\n", folder.c_str());
    return 0;
}
