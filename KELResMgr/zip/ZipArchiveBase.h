// What every zip archive object shares: the list of zlib's memory blocks and the raising of
// CZipException.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "KELResMgr/zip/ZipException.h"

namespace kel {

namespace platform {
class File;
}

// The blocks that zlib obtained through ZipAlloc and has not given back yet. Whatever is still
// listed when the list is destroyed is released then, so an inflate stream that was interrupted
// by an error never leaks. Used by one thread at a time.
class ZipAllocationList {
  public:
    ZipAllocationList() = default;
    ~ZipAllocationList() { ReleaseAll(); }
    ZipAllocationList(const ZipAllocationList&) = delete;
    ZipAllocationList& operator=(const ZipAllocationList&) = delete;

    // Throws std::bad_alloc when the list cannot grow.
    void Add(void* block);
    // False when the block is not listed.
    bool Remove(void* block) noexcept;
    void ReleaseAll() noexcept;
    std::size_t size() const { return blocks_.size(); }

  private:
    std::vector<void*> blocks_;
};

// zlib's allocation callbacks. With an opaque pointer (a ZipAllocationList) every block is
// recorded there until ZipFree gives it back; without one they are plain malloc and free.
// ZipAlloc returns nullptr when memory is exhausted or items * size overflows.
void* ZipAlloc(void* opaque, unsigned items, unsigned size) noexcept;
void ZipFree(void* opaque, void* block) noexcept;

class CZipArchiveBase {
  public:
    virtual ~CZipArchiveBase() = default;
    CZipArchiveBase(const CZipArchiveBase&) = delete;
    CZipArchiveBase& operator=(const CZipArchiveBase&) = delete;

    // The kind flag copied into every CZipException this object raises.
    std::uint8_t kind() const { return kind_; }
    // Blocks zlib holds at the moment; 0 whenever no deflated entry is open.
    std::size_t outstanding_allocations() const { return allocations_.size(); }

  protected:
    CZipArchiveBase() = default;

    // Raises CZipException for a zlib result or a kZip... code, carrying the archive's path when
    // the archive is open and this object's kind flag.
    [[noreturn]] void ThrowZipError(int code) const;

    // The opaque pointer to hand to ZipAlloc/ZipFree: the allocation list while tracking is on.
    void* AllocationOpaque() { return tracking_ ? &allocations_ : nullptr; }

    // Never switched off by the reader; kept so that an archive class may hand zlib's blocks to
    // the allocator without the list (the list is what lets a failure free them all).
    bool tracking_ = true;
    platform::File* archive_file_ = nullptr;
    // 0 for the reader; every CZipException carries it, so a handler can tell which kind of
    // archive raised it even where only the reader exists.
    std::uint8_t kind_ = 1;

  private:
    // Destroyed after every member of a derived class, so an inflate stream owned there can
    // still give its blocks back through ZipFree.
    ZipAllocationList allocations_;
};

}  // namespace kel
