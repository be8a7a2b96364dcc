// A private copy of the probe module (probe/NetProbe.h), loaded for one test with its own
// "Tessel.ini" beside it: a fresh shared download manager each time.
#pragma once

#include <dlfcn.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "harness/TempFolder.h"
#include "probe/NetProbe.h"

namespace kel::test {

class ProbeCopy {
  public:
    explicit ProbeCopy(const std::string& settings) : folder_("kelres-probe-") {
        const std::string copy = folder_ / "libnet_probe.so";
        std::filesystem::copy_file(NET_PROBE_PATH, copy);
        WriteSettings(settings);
        handle_ = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle_ == nullptr) {
            throw std::runtime_error(std::string("cannot load the probe: ") + dlerror());
        }
        Resolve("ProbeDownload", Download);
        Resolve("ProbeSession", Session);
        Resolve("ProbeConnection", Connection);
        Resolve("ProbeSetTestMode", SetTestMode);
    }
    ~ProbeCopy() { dlclose(handle_); }
    ProbeCopy(const ProbeCopy&) = delete;
    ProbeCopy& operator=(const ProbeCopy&) = delete;

    void WriteSettings(const std::string& text) const { WriteFile(folder_ / "Tessel.ini", text); }

    PFN_ProbeDownload Download = nullptr;
    PFN_ProbeSession Session = nullptr;
    PFN_ProbeConnection Connection = nullptr;
    PFN_ProbeSetTestMode SetTestMode = nullptr;

  private:
    template <class Fn>
    void Resolve(const char* name, Fn& fn) {
        fn = reinterpret_cast<Fn>(dlsym(handle_, name));
        if (fn == nullptr) {
            throw std::runtime_error(std::string("the probe lacks ") + name);
        }
    }

    TempFolder folder_;
    void* handle_ = nullptr;
};

}  // namespace kel::test
