// The write side of one extraction: writes and closes its files on threads of their own, so that
// the extracting thread inflates the next chunk while the last one is written, and a slow close
// does not hold up the next entry.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <thread>
#include <vector>

#include "platform/annotated_mutex.h"
#include "platform/file.h"

namespace kel {

// What a finished file gets before it closes (see platform::CloseWithEntryTimeAndAttributes).
struct EntryStamp {
    std::int64_t modified = 0;
    std::uint32_t attributes = 0;
};

// Takes files created by the extracting thread and writes and closes them elsewhere. A large
// entry's data go chunk by chunk, in up to kBuffers buffers of buffer_size bytes, to one writer
// thread, which writes each file's chunks in order and then closes it. A small entry is written
// and closed by the extracting thread itself, so that a package of small files never starts a
// thread, until closes prove slow (an on-access scanner reads each file written when it closes,
// a network file system flushes it): from then on, kCloseThreads threads close the finished
// files, the writer's too, and the next entry need not wait. Where closes cost next to nothing,
// a hand-over would only add its own cost. Threads start at their first job and stay until the
// object goes.
//
// Every function but the destructor is called from the extracting thread only (the one that made
// the object). A failure of a write or close on another thread stops all writing; the next call
// rethrows it. The destructor discards what is still pending (its files close without a report)
// and joins the threads; declared after the staging folder, it is done before that is removed.
class EntryWriter {
  public:
    // Chunks in flight and the one being filled (2 MiB at the library's chunk size). Each thread
    // sleeps only until the other has done a batch of kWakeBatch chunks, not after each one: a
    // wake-up per chunk costs more than the overlap gains when the other thread is not at once
    // back on a core.
    static constexpr std::size_t kBuffers = 8;
    static constexpr std::size_t kWakeBatch = 4;
    static_assert(kWakeBatch < kBuffers, "a waiting writer is woken before the buffers run out");
    // Files handed over for their close and not yet closed; further closes wait.
    static constexpr std::size_t kMaxPendingCloses = 16;
    static constexpr std::size_t kCloseThreads = 3;
    // Closes are slow once kCloseWindow closes in a row take kCloseWindow times SlowClose()
    // together: one close held up for that long, or all of them a while.
    static constexpr std::size_t kCloseWindow = 16;
    static std::chrono::nanoseconds SlowClose();

    explicit EntryWriter(std::size_t buffer_size);
    ~EntryWriter();
    EntryWriter(const EntryWriter&) = delete;
    EntryWriter& operator=(const EntryWriter&) = delete;

    std::size_t buffer_size() const { return buffer_size_; }
    // The buffer to fill next: the extracting thread's until it hands it over with Write.
    char* buffer() const { return current_; }

    // Writes the first size bytes of buffer() to file: its entry's first chunk, after which the
    // file is the writer's. buffer() is another buffer then, once one is free.
    void Begin(platform::File file, std::size_t size);
    // Writes the first size bytes of buffer() to the file of the last Begin, after its chunks
    // handed over before.
    void Write(std::size_t size);
    // Stamps and closes the file of the last Begin once its chunks are written.
    void Finish(const EntryStamp& stamp);

    // Stamps and closes a file that the caller has written.
    void Close(platform::File file, const EntryStamp& stamp);

    // Returns when every file handed over is written and closed; rethrows a failure.
    void Wait();

  private:
    struct Chunk {
        platform::File file;  // with the entry's first chunk only
        char* data = nullptr;
        std::size_t size = 0;
        bool finish = false;  // no data: stamp and close the file
        EntryStamp stamp;
    };
    struct PendingClose {
        platform::File file;
        EntryStamp stamp;
    };

    // Queues chunk for the writer, which is started first when it has not been.
    void Hand(Chunk chunk);
    // Closes file here, and starts the close threads when closes prove slow.
    void CloseHere(platform::File& file, const EntryStamp& stamp);
    // Starts the close threads once the writer has found its closes slow.
    void StartClosersIfWriterSlow();
    // Queues a close for the close threads; from the extracting thread, once fewer than
    // kMaxPendingCloses are pending.
    void HandClose(PendingClose close, bool from_writer);
    // The buffer that buffer() is next: a free one, a new one while there are fewer than
    // kBuffers, else the first one that the writer is done with.
    char* NextBuffer();
    void StartClosers();
    void RunWriter() noexcept;
    void RunCloser() noexcept;
    void RethrowFailure() KEL_REQUIRES(mutex_);
    void Fail(std::exception_ptr failure) noexcept;

    const std::size_t buffer_size_;
    std::vector<std::unique_ptr<char[]>> buffers_;  // made one by one, as they are first needed
    char* current_ = nullptr;

    Mutex mutex_;
    CondVar chunk_ready_;  // for the writer
    CondVar close_ready_;  // for the close threads
    CondVar progress_;     // for the extracting thread: a buffer free, a close done, a failure
    std::deque<Chunk> chunks_ KEL_GUARDED_BY(mutex_);
    std::deque<PendingClose> closes_ KEL_GUARDED_BY(mutex_);
    std::vector<char*> free_ KEL_GUARDED_BY(mutex_);     // buffers neither queued nor being written
    std::size_t unfinished_ KEL_GUARDED_BY(mutex_) = 0;  // chunks and closes handed over, not done
    std::size_t closes_pending_ KEL_GUARDED_BY(mutex_) = 0;
    std::exception_ptr failure_ KEL_GUARDED_BY(mutex_);  // the first; everything pending is dropped
    // Set with failure_; read without the lock on the paths that take none (relaxed: the
    // rethrow takes the lock).
    std::atomic<bool> failed_{false};
    bool stopping_ KEL_GUARDED_BY(mutex_) = false;

    // The extracting thread's closes in the current window, and their time.
    std::size_t window_closes_ = 0;
    std::chrono::nanoseconds window_time_{0};
    // Set once the close threads run; the writer hands its closes over from then on.
    std::atomic<bool> closers_running_{false};
    // Set by the writer when one of its closes took a window's worth of slow closes.
    std::atomic<bool> writer_closes_slow_{false};

    // Started and joined by the extracting thread.
    std::thread writer_;
    std::vector<std::thread> closers_;
};

// For tests: closes count as slow from slow on (zero: the first close starts the close threads);
// returns the setting before. Set it while no extraction runs.
std::chrono::nanoseconds SetSlowCloseForTests(std::chrono::nanoseconds slow);

}  // namespace kel
