// Resource packages and receivers for download tests.
#pragma once

#if !defined(_WIN32)
#include <sys/resource.h>
#endif
#include <chrono>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "KELResMgr.h"
#include "harness/Receivers.h"

namespace kel::test {

// The files of a resource: relative path ('/'-separated) -> content.
using FileMap = std::map<std::string, std::string>;

// Writes a package: "KEL", the version byte, then a deflated zip archive of files, made by
// Python's zipfile (an independent writer); on Windows by the zip tests' crafted archives.
void WritePackage(const std::string& path, const FileMap& files, std::uint8_t version = 1);

// The path of an identifier's package on the media server: T[0..1]/T[2..3]/T[4..5]/T[6..7]/T.tsl.
std::string MediaPath(const std::string& id);

#if !defined(_WIN32)
// Runs a program (searched in PATH) and waits for it; returns its exit status (-1 when it did not
// exit normally) and, when usage is given, its resource usage.
int RunProgram(const std::vector<std::string>& args, struct rusage* usage = nullptr);
#endif

// Every regular file below folder, read whole.
FileMap ReadTree(const std::string& folder);

// A sample resource of a few files, one in a subfolder.
FileMap SampleFiles(const std::string& seed = "");

// One notification as a receiver got it.
struct Notification {
    uintptr_t tag = 0;
    WPARAM wparam = 0;
    std::vector<std::uint8_t> payload;
    // The folder path: the payload after data_size bytes, up to the NUL.
    std::string Path(std::size_t data_size) const;
};

// A receiver (see Receivers.h) that records what reaches it. Any thread.
class WindowRecorder {
  public:
    WindowRecorder();
    ~WindowRecorder();
    WindowRecorder(const WindowRecorder&) = delete;
    WindowRecorder& operator=(const WindowRecorder&) = delete;

    HWND handle() const { return handle_; }
    std::vector<Notification> Received() const;
    std::size_t Count() const;
    // Waits until at least count notifications have arrived; false on time-out.
    bool WaitFor(std::size_t count, std::chrono::milliseconds timeout) const;

  private:
    static LRESULT Procedure(void* context, HWND window, UINT message, WPARAM wparam,
                             LPARAM lparam);

    HWND handle_ = 0;
    mutable std::mutex mutex_;
    mutable std::condition_variable arrived_;
    std::vector<Notification> received_;  // guarded by mutex_
};

// Waits until the file at path contains text at least times times; false on time-out.
bool WaitForText(const std::string& path, const std::string& text, int times,
                 std::chrono::milliseconds timeout);
// How often text occurs in the file at path (0 when it cannot be read).
int CountText(const std::string& path, const std::string& text);

}  // namespace kel::test
