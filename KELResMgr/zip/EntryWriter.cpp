#include "KELResMgr/zip/EntryWriter.h"

#include <utility>

#include "platform/durable.h"
#include "platform/extraction.h"

namespace kel {
namespace {

// A large file's writeback is started after each this many bytes: per chunk costs more calls
// than it gains (4 x 100 MB deflated: +9 % with 8 MiB, +25 % per 256 KiB chunk, +31 % with all of
// it left to the tree's sync, against no durability at all).
constexpr std::size_t kWritebackBytes = 8 << 20;

// Set by tests only (SetSlowCloseForTests).
std::chrono::nanoseconds g_slow_close = std::chrono::microseconds(500);

// Secures the file's data (Windows: on disk before the close returns), stamps and closes it.
void SecureAndClose(platform::File& file, const EntryStamp& stamp) {
    platform::SecureExtractedFile(file);
    platform::CloseWithEntryTimeAndAttributes(file, stamp.modified, stamp.attributes);
}

// SecureAndClose; gives the time that took.
std::chrono::nanoseconds TimedClose(platform::File& file, const EntryStamp& stamp) {
    const auto start = std::chrono::steady_clock::now();
    SecureAndClose(file, stamp);
    return std::chrono::steady_clock::now() - start;
}

}  // namespace

std::chrono::nanoseconds SetSlowCloseForTests(std::chrono::nanoseconds slow) {
    return std::exchange(g_slow_close, slow);
}

// A close of a file just written takes some tens of microseconds where nothing reads it on the
// way; a scanner's costs milliseconds.
std::chrono::nanoseconds EntryWriter::SlowClose() {
    return g_slow_close;
}

EntryWriter::EntryWriter(std::size_t buffer_size) : buffer_size_(buffer_size) {
    buffers_.reserve(kBuffers);
    buffers_.push_back(std::make_unique_for_overwrite<char[]>(buffer_size_));
    current_ = buffers_.back().get();
    MutexLock lock(mutex_);   // not shared yet; the lock only satisfies the analysis
    free_.reserve(kBuffers);  // giving a buffer back never allocates
}

EntryWriter::~EntryWriter() {
    {
        MutexLock lock(mutex_);
        stopping_ = true;
    }
    chunk_ready_.NotifyAll();
    close_ready_.NotifyAll();
    if (writer_.joinable()) {
        writer_.join();
    }
    for (std::thread& closer : closers_) {
        closer.join();
    }
    // What was still queued goes with the queues: each file closes without a report.
}

void EntryWriter::Begin(platform::File file, std::size_t size) {
    if (!writer_.joinable()) {
        writer_ = std::thread(&EntryWriter::RunWriter, this);
    }
    StartClosersIfWriterSlow();
    Chunk chunk;
    chunk.file = std::move(file);
    chunk.data = current_;
    chunk.size = size;
    Hand(std::move(chunk));
    current_ = NextBuffer();
}

void EntryWriter::Write(std::size_t size) {
    Chunk chunk;
    chunk.data = current_;
    chunk.size = size;
    Hand(std::move(chunk));
    current_ = NextBuffer();
}

void EntryWriter::Finish(const EntryStamp& stamp) {
    Chunk chunk;
    chunk.finish = true;
    chunk.stamp = stamp;
    Hand(std::move(chunk));
}

void EntryWriter::Close(platform::File file, const EntryStamp& stamp) {
    if (failed_.load(std::memory_order_relaxed)) {
        MutexLock lock(mutex_);
        RethrowFailure();
    }
    StartClosersIfWriterSlow();
    if (closers_.empty()) {
        CloseHere(file, stamp);
        return;
    }
    HandClose({std::move(file), stamp}, false);
}

void EntryWriter::StartClosersIfWriterSlow() {
    if (closers_.empty() && writer_closes_slow_.load(std::memory_order_relaxed)) {
        StartClosers();
    }
}

void EntryWriter::CloseHere(platform::File& file, const EntryStamp& stamp) {
    window_time_ += TimedClose(file, stamp);
    if (window_time_ >= SlowClose() * kCloseWindow) {
        StartClosers();
        return;
    }
    if (++window_closes_ == kCloseWindow) {
        window_closes_ = 0;
        window_time_ = std::chrono::nanoseconds(0);
    }
}

void EntryWriter::Wait() {
    MutexLock lock(mutex_);
    while (unfinished_ > 0 && failure_ == nullptr) {
        progress_.Wait(mutex_);
    }
    RethrowFailure();
}

void EntryWriter::Hand(Chunk chunk) {
    {
        MutexLock lock(mutex_);
        RethrowFailure();
        // The writer, when idle, is woken for a batch of chunks, or for the end of a file (so that
        // it is closed before Wait returns).
        const bool wake = chunk.finish || chunks_.size() + 1 >= kWakeBatch;
        chunks_.push_back(std::move(chunk));
        ++unfinished_;
        if (!wake) {
            return;
        }
    }
    chunk_ready_.NotifyAll();
}

void EntryWriter::HandClose(PendingClose close, bool from_writer) {
    {
        MutexLock lock(mutex_);
        // The writer never waits for the close threads: they never wait for it either, but the
        // extracting thread may be waiting for the writer's buffers.
        while (!from_writer && closes_pending_ >= kMaxPendingCloses && failure_ == nullptr) {
            progress_.Wait(mutex_);
        }
        if (!from_writer) {
            RethrowFailure();
        }
        closes_.push_back(std::move(close));
        ++closes_pending_;
        ++unfinished_;
    }
    close_ready_.NotifyAll();
}

char* EntryWriter::NextBuffer() {
    {
        MutexLock lock(mutex_);
        // Once it has to wait, the extracting thread waits for a batch of free buffers.
        if (free_.empty() && buffers_.size() == kBuffers) {
            while (free_.size() < kWakeBatch && failure_ == nullptr) {
                progress_.Wait(mutex_);
            }
        }
        RethrowFailure();
        if (!free_.empty()) {
            char* buffer = free_.back();
            free_.pop_back();
            return buffer;
        }
    }
    buffers_.push_back(std::make_unique_for_overwrite<char[]>(buffer_size_));
    return buffers_.back().get();
}

void EntryWriter::StartClosers() {
    while (closers_.size() < kCloseThreads) {
        closers_.emplace_back(&EntryWriter::RunCloser, this);
    }
    closers_running_.store(true, std::memory_order_release);
}

void EntryWriter::RunWriter() noexcept {
    platform::File file;        // of the entry being written
    std::size_t unstarted = 0;  // bytes of it written since its writeback was last started
    for (;;) {
        Chunk chunk;
        bool skip = false;
        {
            MutexLock lock(mutex_);
            while (chunks_.empty() && !stopping_) {
                chunk_ready_.Wait(mutex_);
            }
            if (stopping_) {
                return;
            }
            chunk = std::move(chunks_.front());
            chunks_.pop_front();
            skip = failure_ != nullptr;
        }
        if (!skip) {
            try {
                if (chunk.file.is_open()) {
                    file = std::move(chunk.file);
                    unstarted = 0;
                }
                if (chunk.size > 0) {
                    file.Write(chunk.data, chunk.size);
                    // The disk writes a large file while the rest is inflated, not all of it once
                    // the extraction makes its tree durable.
                    unstarted += chunk.size;
                    if (unstarted >= kWritebackBytes) {
                        file.StartWriteback();
                        unstarted = 0;
                    }
                }
                if (chunk.finish && closers_running_.load(std::memory_order_acquire)) {
                    HandClose({std::move(file), chunk.stamp}, true);
                } else if (chunk.finish &&
                           TimedClose(file, chunk.stamp) >= SlowClose() * kCloseWindow) {
                    writer_closes_slow_.store(true, std::memory_order_relaxed);
                }
            } catch (...) {
                Fail(std::current_exception());
            }
        }
        {
            MutexLock lock(mutex_);
            if (chunk.data != nullptr) {
                free_.push_back(chunk.data);
            }
            --unfinished_;
            // Woken for a batch of free buffers, or for Wait.
            if (free_.size() < kWakeBatch && unfinished_ > 0) {
                continue;
            }
        }
        progress_.NotifyAll();
    }
}

void EntryWriter::RunCloser() noexcept {
    for (;;) {
        PendingClose close;
        bool skip = false;
        {
            MutexLock lock(mutex_);
            while (closes_.empty() && !stopping_) {
                close_ready_.Wait(mutex_);
            }
            if (stopping_) {
                return;
            }
            close = std::move(closes_.front());
            closes_.pop_front();
            skip = failure_ != nullptr;
        }
        if (!skip) {
            try {
                SecureAndClose(close.file, close.stamp);
            } catch (...) {
                Fail(std::current_exception());
            }
        }
        close.file = platform::File();  // closed before it counts as done, whatever happened
        {
            MutexLock lock(mutex_);
            --closes_pending_;
            --unfinished_;
        }
        progress_.NotifyAll();
    }
}

void EntryWriter::RethrowFailure() {
    if (failure_ != nullptr) {
        std::rethrow_exception(failure_);
    }
}

void EntryWriter::Fail(std::exception_ptr failure) noexcept {
    {
        MutexLock lock(mutex_);
        if (failure_ == nullptr) {
            failure_ = std::move(failure);
        }
        failed_.store(true, std::memory_order_relaxed);
    }
    progress_.NotifyAll();
}

}  // namespace kel
