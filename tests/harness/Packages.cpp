#include "harness/Packages.h"

#if defined(_WIN32)
#include "zip/ZipTestSupport.h"
#else
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <stdexcept>
#include <thread>

#include "harness/TempFolder.h"

namespace fs = std::filesystem;

namespace kel::test {

#if defined(_WIN32)

void WritePackage(const std::string& path, const FileMap& files, std::uint8_t version) {
    std::vector<CraftEntry> entries;
    for (const auto& [name, content] : files) {
        entries.push_back(CraftEntry{.name = name, .data = content, .deflate = true});
    }
    WriteFile(path, std::string("KEL") + static_cast<char>(version) + CraftArchive(entries));
}

#else

namespace {

// The archive is written on its own first: its offsets count from its first byte, not from the
// start of the package file.
constexpr char kZipScript[] =
    "import io, os, sys, zipfile\n"
    "src, out, version = sys.argv[1], sys.argv[2], int(sys.argv[3])\n"
    "archive = io.BytesIO()\n"
    "with zipfile.ZipFile(archive, 'w', zipfile.ZIP_DEFLATED) as z:\n"
    "    for root, dirs, files in sorted(os.walk(src)):\n"
    "        for name in sorted(files):\n"
    "            full = os.path.join(root, name)\n"
    "            z.write(full, os.path.relpath(full, src))\n"
    "with open(out, 'wb') as f:\n"
    "    f.write(b'KEL' + bytes([version]) + archive.getvalue())\n";

}  // namespace

void WritePackage(const std::string& path, const FileMap& files, std::uint8_t version) {
    TempFolder source("kelres-package-");
    for (const auto& [name, content] : files) {
        const fs::path file = fs::path(source.path()) / name;
        fs::create_directories(file.parent_path());
        WriteFile(file.string(), content);
    }
    if (RunProgram({"/usr/bin/python3", "-c", kZipScript, source.path(), path,
                    std::to_string(version)}) != 0) {
        throw std::runtime_error("cannot write a package with python3 zipfile");
    }
}

#endif

std::string MediaPath(const std::string& id) {
    auto piece = [&](std::size_t at) { return at < id.size() ? id.substr(at, 2) : std::string(); };
    return piece(0) + "/" + piece(2) + "/" + piece(4) + "/" + piece(6) + "/" + id + ".tsl";
}

#if !defined(_WIN32)
int RunProgram(const std::vector<std::string>& args, struct rusage* usage) {
    std::vector<char*> argv;
    for (const auto& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        execvp(argv[0], argv.data());
        _exit(127);
    }
    if (pid < 0) {
        return -1;
    }
    int status = 0;
    struct rusage local {};
    if (wait4(pid, &status, 0, usage != nullptr ? usage : &local) != pid) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

FileMap ReadTree(const std::string& folder) {
    FileMap files;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::end(it);
         it.increment(ec)) {
        if (it->is_regular_file(ec)) {
            files[fs::relative(it->path(), folder).generic_string()] =
                ReadFile(it->path().string()).value();
        }
    }
    return files;
}

FileMap SampleFiles(const std::string& seed) {
    std::string big;
    for (int i = 0; i < 5000; ++i) {
        big += seed + "line " + std::to_string(i) + "\n";
    }
    return {{"readme.txt", "hello " + seed + "\n"},
            {"data.bin", std::string("\0\1\2\3\xff", 5) + seed},
            {"img/big.txt", big}};
}

std::string Notification::Path(std::size_t data_size) const {
    if (payload.size() <= data_size) {
        return {};
    }
    return std::string(reinterpret_cast<const char*>(payload.data() + data_size));
}

WindowRecorder::WindowRecorder() : handle_(KelCreateReceiver(&Procedure, this)) {
    if (handle_ == HWND{}) {
        throw std::runtime_error("cannot create a receiver");  // rather than requests without one
    }
}

WindowRecorder::~WindowRecorder() {
    KelDestroyReceiver(handle_);
}

LRESULT WindowRecorder::Procedure(void* context, HWND, UINT message, WPARAM wparam, LPARAM lparam) {
    auto* self = static_cast<WindowRecorder*>(context);
    if (message != WM_COPYDATA) {
        return 0;
    }
    const auto* copy = reinterpret_cast<const COPYDATASTRUCT*>(lparam);
    Notification notification;
    notification.tag = copy->dwData;
    notification.wparam = wparam;
    const auto* bytes = static_cast<const std::uint8_t*>(copy->lpData);
    notification.payload.assign(bytes, bytes + copy->cbData);
    {
        std::scoped_lock lock(self->mutex_);
        self->received_.push_back(std::move(notification));
    }
    self->arrived_.notify_all();
    return 1;
}

std::vector<Notification> WindowRecorder::Received() const {
    std::scoped_lock lock(mutex_);
    return received_;
}

std::size_t WindowRecorder::Count() const {
    std::scoped_lock lock(mutex_);
    return received_.size();
}

bool WindowRecorder::WaitFor(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, timeout, [&] { return received_.size() >= count; });
}

int CountText(const std::string& path, const std::string& text) {
    const auto content = ReadFile(path);
    if (!content || text.empty()) {
        return 0;
    }
    int count = 0;
    for (auto at = content->find(text); at != std::string::npos;
         at = content->find(text, at + text.size())) {
        ++count;
    }
    return count;
}

bool WaitForText(const std::string& path, const std::string& text, int times,
                 std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (CountText(path, text) < times) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace kel::test
