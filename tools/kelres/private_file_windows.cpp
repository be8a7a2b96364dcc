#include "tools/kelres/private_file.h"

#include <windows.h>

#include <sddl.h>

#include <memory>

#include "tools/kelres/command_line.h"
#include "tools/kelres/system_error_text.h"

namespace kel::tool {
namespace {

// Right after the failed call: the text is the system's last error.
[[noreturn]] void Fail(const std::string& path) {
    throw CommandError("cannot write " + path + ": " + LastSystemErrorText());
}

struct LocalFreeDeleter {
    void operator()(void* p) const { LocalFree(p); }
};

}  // namespace

void WritePrivateFile(const std::string& path, const std::string& text) {
    // A protected access list (no inherited entries) that grants the file's owner alone every
    // right: nobody else, administrators' groups included, is given read access.
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(A;;FA;;;OW)", SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
        Fail(path);
    }
    const std::unique_ptr<void, LocalFreeDeleter> owned(descriptor);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    // CREATE_NEW: a key already there is never overwritten.
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        Fail(path);
    }
    DWORD written = 0;
    const bool ok =
        WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
        written == text.size() && FlushFileBuffers(file);
    if (!ok) {
        const std::string cause = LastSystemErrorText();
        CloseHandle(file);
        DeleteFileA(path.c_str());
        throw CommandError("cannot write " + path + ": " + cause);
    }
    CloseHandle(file);
}

}  // namespace kel::tool
