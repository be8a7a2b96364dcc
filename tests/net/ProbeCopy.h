// A private copy of the probe module (probe/NetProbe.h), loaded for one test with its own
// "Tessel.ini" beside it: a fresh shared download manager each time.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <filesystem>
#include <stdexcept>
#include <string>

#include "harness/TempFolder.h"
#include "probe/NetProbe.h"

namespace kel::test {

class ProbeCopy {
  public:
    explicit ProbeCopy(const std::string& settings) : folder_("kelres-probe-") {
        const std::string copy =
            folder_ / std::filesystem::path(NET_PROBE_PATH).filename().string();
        std::filesystem::copy_file(NET_PROBE_PATH, copy);
        WriteSettings(settings);
        handle_ = Load(copy);
        if (handle_ == nullptr) {
            throw std::runtime_error("cannot load the probe " + copy);
        }
        Resolve("ProbeDownload", Download);
        Resolve("ProbeSession", Session);
        Resolve("ProbeConnection", Connection);
        Resolve("ProbeSetTestMode", SetTestMode);
    }
    ~ProbeCopy() { Close(handle_); }
    ProbeCopy(const ProbeCopy&) = delete;
    ProbeCopy& operator=(const ProbeCopy&) = delete;

    void WriteSettings(const std::string& text) const { WriteFile(folder_ / "Tessel.ini", text); }

    PFN_ProbeDownload Download = nullptr;
    PFN_ProbeSession Session = nullptr;
    PFN_ProbeConnection Connection = nullptr;
    PFN_ProbeSetTestMode SetTestMode = nullptr;

  private:
#if defined(_WIN32)
    static void* Load(const std::string& path) {
        return LoadLibraryA(path.c_str());
    }
    static void* Symbol(void* handle, const char* name) {
        return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name));
    }
    static void Close(void* handle) {
        FreeLibrary(static_cast<HMODULE>(handle));
    }
#else
    static void* Load(const std::string& path) {
        return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    }
    static void* Symbol(void* handle, const char* name) {
        return dlsym(handle, name);
    }
    static void Close(void* handle) {
        dlclose(handle);
    }
#endif

    template <class Fn>
    void Resolve(const char* name, Fn& fn) {
        fn = reinterpret_cast<Fn>(Symbol(handle_, name));
        if (fn == nullptr) {
            throw std::runtime_error(std::string("the probe lacks ") + name);
        }
    }

    TempFolder folder_;
    void* handle_ = nullptr;
};

}  // namespace kel::test
