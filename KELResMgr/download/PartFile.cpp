#include "KELResMgr/download/PartFile.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string_view>
#include <utility>

#include "KELResMgr/base/RandomName.h"
#include "KELResMgr/base/ResTrace.h"
#include "platform/durable.h"
#include "platform/file_ops.h"
#include "platform/path.h"

namespace kel {
namespace {

constexpr std::string_view kPartSuffix = ".part-";  // followed by 8 hex digits
constexpr std::size_t kPartDigits = 8;
constexpr int kAttempts = 8;

bool AreHexDigits(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
}

}  // namespace

bool IsPartFileName(std::string_view name, std::string_view final_name) {
    const std::size_t suffix = name.rfind(kPartSuffix);
    if (suffix == std::string_view::npos || suffix < 4 || name.substr(suffix - 4, 4) != ".tsl" ||
        name.size() != suffix + kPartSuffix.size() + kPartDigits) {
        return false;
    }
    if (!final_name.empty() && name.substr(0, suffix) != final_name) {
        return false;
    }
    return AreHexDigits(name.substr(suffix + kPartSuffix.size()));
}

std::optional<PartFile> PartFile::CreateBeside(const std::string& final_path, int* error_number) {
    int error = platform::kFileExistsError;
    for (int attempt = 0; attempt < kAttempts && error == platform::kFileExistsError; ++attempt) {
        const std::string path = final_path + std::string(kPartSuffix) + RandomHexDigits();
        platform::File file =
            platform::File::TryOpen(path, platform::File::Mode::kCreateNew, &error);
        if (!file.is_open()) {
            continue;
        }
        try {
            std::optional<platform::OwnerLock> lock =
                platform::OwnerLock::Take(path, platform::PathKind::kFile);
            if (lock) {
                return PartFile(final_path, std::move(file), std::move(*lock));
            }
            // Removed by a reclaim in the instant after it was made: another name.
            error = platform::kFileExistsError;
        } catch (const platform::FileError& failure) {
            error = failure.error_number();
            file = platform::File();
            platform::RemoveFile(path);
        }
    }
    if (error_number != nullptr) {
        *error_number = error;
    }
    return std::nullopt;
}

PartFile::PartFile(std::string final_path, platform::File file, platform::OwnerLock lock)
    : final_path_(std::move(final_path)),
      path_(file.path()),
      file_(std::move(file)),
      lock_(std::move(lock)) {}

PartFile::PartFile(PartFile&& other) noexcept
    : final_path_(std::move(other.final_path_)),
      path_(std::move(other.path_)),
      file_(std::move(other.file_)),
      lock_(std::move(other.lock_)),
      kept_(std::exchange(other.kept_, true)) {}

PartFile::~PartFile() {
    if (!kept_) {
        file_ = platform::File();  // closed before it goes
        lock_.Release();           // Windows removes no held name
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
    kept_ = lock_.RenameAndRelease(path_, final_path_);
    if (kept_) {
        const std::size_t separator = final_path_.find_last_of(platform::kPathSeparators);
        platform::MakeEntriesDurable(separator == std::string::npos
                                         ? std::string(".")
                                         : final_path_.substr(0, separator + 1));
    }
    return kept_;
}

}  // namespace kel
