#include "KELResMgr/PartFile.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string_view>

#include "KELResMgr/RandomName.h"
#include "KELResMgr/ResTrace.h"
#include "platform/durable.h"
#include "platform/file_ops.h"
#include "platform/path.h"

namespace kel {
namespace {

constexpr char kFn[] = "[CResManager::DownloadFileByHttp] ";
constexpr std::string_view kPartSuffix = ".part-";  // followed by 8 hex digits
constexpr std::size_t kPartDigits = 8;
constexpr std::int64_t kAbandonedPartAge = 60 * 60;  // seconds

// "<T>.tsl" + kPartSuffix + 8 hex digits, as CreateBeside names them.
bool IsPartFileName(std::string_view name) {
    const std::size_t suffix = name.rfind(kPartSuffix);
    if (suffix == std::string_view::npos || suffix < 4 || name.substr(suffix - 4, 4) != ".tsl" ||
        name.size() != suffix + kPartSuffix.size() + kPartDigits) {
        return false;
    }
    return std::all_of(name.begin() + static_cast<std::ptrdiff_t>(suffix + kPartSuffix.size()),
                       name.end(),
                       [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

}  // namespace

platform::File PartFile::CreateBeside(const std::string& final_path, int* error_number) {
    int error = platform::kFileExistsError;
    for (int attempt = 0; attempt < 8 && error == platform::kFileExistsError; ++attempt) {
        platform::File file =
            platform::File::TryOpen(final_path + std::string(kPartSuffix) + RandomHexDigits(),
                                    platform::File::Mode::kCreateNew, &error);
        if (file.is_open()) {
            return file;
        }
    }
    if (error_number != nullptr) {
        *error_number = error;
    }
    return platform::File();
}

PartFile::PartFile(std::string final_path, platform::File file)
    : final_path_(std::move(final_path)), path_(file.path()), file_(std::move(file)) {}

PartFile::~PartFile() {
    if (!kept_) {
        file_ = platform::File();  // closed before it goes
        platform::RemoveFile(path_);
    }
}

void PartFile::Finish() {
    file_.Close();  // nothing when closed already
}

bool PartFile::Keep() {
    if (file_.is_open()) {
        file_.Flush();
    } else {
        // Finished already: opened again only to be flushed (Windows flushes only a file opened
        // for writing).
        platform::File::Open(path_, platform::File::Mode::kWriteExisting).Flush();
    }
    Finish();
    kept_ = platform::SilentRename(path_, final_path_);
    if (kept_) {
        const std::size_t separator = final_path_.find_last_of(platform::kPathSeparators);
        platform::MakeEntriesDurable(separator == std::string::npos
                                         ? std::string(".")
                                         : final_path_.substr(0, separator + 1));
    }
    return kept_;
}

void RemoveAbandonedPartFiles(const std::string& folder) {
    for (const std::string& name : platform::FilesUnchangedFor(folder, kAbandonedPartAge)) {
        if (IsPartFileName(name)) {
            KEL_TRACE(kFn, "removing the abandoned part file %s", name.c_str());
            platform::RemoveFile(folder + name);  // a file: never a tree, whatever took its name
        }
    }
}

}  // namespace kel
