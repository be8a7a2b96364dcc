#include "KELResMgr/zip/ZipArchiveBase.h"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <new>
#include <string>

#include "platform/file.h"

namespace kel {

void ZipAllocationList::Add(void* block) {
    blocks_.push_back(block);
}

bool ZipAllocationList::Remove(void* block) noexcept {
    // zlib frees in roughly the reverse order of allocation: search from the back.
    const auto it = std::find(blocks_.rbegin(), blocks_.rend(), block);
    if (it == blocks_.rend()) {
        return false;
    }
    blocks_.erase(std::next(it).base());
    return true;
}

void ZipAllocationList::ReleaseAll() noexcept {
    for (void* block : blocks_) {
        std::free(block);
    }
    blocks_.clear();
}

void* ZipAlloc(void* opaque, unsigned items, unsigned size) noexcept {
    if (size != 0 && items > std::numeric_limits<std::size_t>::max() / size) {
        return nullptr;
    }
    void* block = std::malloc(static_cast<std::size_t>(items) * size);
    if (block == nullptr || opaque == nullptr) {
        return block;
    }
    try {
        static_cast<ZipAllocationList*>(opaque)->Add(block);
    } catch (const std::bad_alloc&) {
        std::free(block);
        return nullptr;  // zlib reports Z_MEM_ERROR
    }
    return block;
}

void ZipFree(void* opaque, void* block) noexcept {
    if (opaque != nullptr) {
        static_cast<ZipAllocationList*>(opaque)->Remove(block);
    }
    std::free(block);
}

void CZipArchiveBase::ThrowZipError(int code) const {
    std::string path;
    if (archive_file_ != nullptr && archive_file_->is_open()) {
        path = archive_file_->path();
    }
    throw CZipException(CZipException::CauseFromCode(code), std::move(path), kind_);
}

}  // namespace kel
