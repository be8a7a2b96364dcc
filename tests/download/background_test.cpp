// Downloads from a real media server on 127.0.0.1: the whole road of a resource, and what
// hosts see when the server is slow, wrong or the library is unloaded mid-download.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "harness/HttpServer.h"
#include "harness/LibraryCopy.h"
#include "harness/Packages.h"
#include "harness/Signing.h"
#include "harness/TempFolder.h"

namespace kel::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto kLong = 60s;  // generous: the suite also runs under sanitizers

// T0..T99: distinct identifiers of the same shape as real ones.
std::string Id(int n) {
    char text[17];
    std::snprintf(text, sizeof text, "0A1B2C%02X0000AB%02X", n & 0xFF, n & 0xFF);
    return text;
}

class MediaServerTest : public ::testing::Test {
  protected:
    MediaServerTest() : server_(media_.path()) {}

    // Loads a library copy that uses the media server; extra settings go into [download].
    void Load(const std::string& extra = "") {
        library_ = std::make_unique<LibraryCopy>("[download]\nhttp_server=127.0.0.1\nhttp_port=" +
                                                 std::to_string(server_.port()) + "\n" + extra);
    }

    void Publish(const std::string& id, const FileMap& files, std::uint8_t version = 1) {
        const std::string path = media_ / MediaPath(id);
        fs::create_directories(fs::path(path).parent_path());
        WritePackage(path, files, version);
    }

    std::string Ask(const std::string& id, HWND window, bool wait = false) {
        return library_->DownloadResFileEx(id, window, "ctx", 3, wait);
    }

    std::string Folder(const std::string& id) const { return sandbox_.resources() + id + "_files"; }
    std::string Package(const std::string& id) const { return sandbox_.resources() + id + ".tsl"; }

    // Waits until n workers have ended (their last trace record).
    bool WaitForWorkers(int n) { return WaitForText(trace_path_, "exit.", n, kLong); }

    int RequestsFor(const std::string& id) const {
        const auto lines = server_.RequestLines();
        return static_cast<int>(
            std::count(lines.begin(), lines.end(), "GET /" + MediaPath(id) + " HTTP/1.0"));
    }

    // Waits until the server has received n requests in all.
    bool WaitForRequests(std::size_t n) {
        const auto deadline = std::chrono::steady_clock::now() + kLong;
        while (server_.RequestLines().size() < n) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }

    // Files of the library's temporary-file prefix ("kel_res...") in the temporary folder: it
    // writes none.
    int TempFiles() const {
        int count = 0;
        for (const auto& entry : fs::directory_iterator(tmp_.path())) {
            count += entry.path().filename().string().rfind("kel_res", 0) == 0 ? 1 : 0;
        }
        return count;
    }

    void SlowFiles(int delay_ms) {
        HttpAnswer slow;
        slow.delay_ms = delay_ms;
        server_.AnswerFilesWith(slow);
    }

    AppDataSandbox sandbox_;
    TempFolder tmp_{"kelres-tmpdir-"};
    ScopedEnv tmpdir_{kTempVariable, tmp_.path()};
    TempFolder logs_{"kelres-trace-"};
    std::string trace_path_ = logs_ / "trace.log";
    ScopedEnv trace_{"KELRES_TRACE", trace_path_};
    TempFolder media_{"kelres-media-"};
    ScriptedHttpServer server_;
    std::unique_ptr<LibraryCopy> library_;
};

TEST_F(MediaServerTest, BackgroundDownloadEndToEnd) {
    const std::string id = Id(1);
    const FileMap files = SampleFiles("end-to-end");
    Publish(id, files);
    Load("max_task=1\n");
    WindowRecorder window;

    EXPECT_EQ(Ask(id, window.handle()), "");
    ASSERT_TRUE(window.WaitFor(1, kLong));
    ASSERT_TRUE(WaitForWorkers(1));
    const auto received = window.Received();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].tag, KELRES_NOTIFY_TAG);
    EXPECT_EQ(std::string(received[0].payload.begin(), received[0].payload.begin() + 3), "ctx");
    EXPECT_EQ(received[0].Path(3), Folder(id));
    EXPECT_EQ(ReadTree(Folder(id)), files);
    EXPECT_FALSE(fs::exists(Package(id)));
    EXPECT_FALSE(fs::exists(Folder(id) + "_tmp"));
    EXPECT_EQ(TempFiles(), 0);  // nothing of the library's in the temporary folder
    EXPECT_EQ(server_.RequestLines(),
              std::vector<std::string>{"GET /" + MediaPath(id) + " HTTP/1.0"});

    // Downloaded (state 2): answered at once, even after the folder is gone from disk.
    fs::remove_all(Folder(id));
    EXPECT_EQ(Ask(id, window.handle()), Folder(id));
    EXPECT_EQ(window.Count(), 2u);
    EXPECT_EQ(RequestsFor(id), 1);

    // The running count is back to 0: with a limit of 1 another download starts.
    Publish(Id(2), SampleFiles("second"));
    EXPECT_EQ(Ask(Id(2), window.handle()), "");
    ASSERT_TRUE(window.WaitFor(3, kLong));
    EXPECT_EQ(RequestsFor(Id(2)), 1);
}

// A host that answers the notification by asking again, for the same resource or the next one,
// is served: the worker no longer counts against the limit, and the resource is known as
// downloaded, by the time the window is told.
TEST_F(MediaServerTest, AskingAgainFromTheNotification) {
    Publish(Id(4), SampleFiles("a"));
    Publish(Id(5), SampleFiles("b"));
    Load("max_task=1\n");
    struct Host {
        LibraryCopy* library;
        std::string same, next;
        WindowRecorder next_window;
    } host{library_.get(), "", "", {}};
    auto proc = [](void* context, HWND, UINT, WPARAM, LPARAM) -> LRESULT {
        auto* host = static_cast<Host*>(context);
        host->same = host->library->DownloadResFileEx(Id(4), 0, nullptr, 0, false);
        host->next =
            host->library->DownloadResFileEx(Id(5), host->next_window.handle(), nullptr, 0, false);
        return 1;
    };
    const HWND window = KelCreateReceiver(proc, &host);
    EXPECT_EQ(Ask(Id(4), window), "");
    ASSERT_TRUE(host.next_window.WaitFor(1, kLong));
    KelDestroyReceiver(window);
    EXPECT_EQ(host.same, Folder(Id(4)));
    EXPECT_EQ(host.next, "");  // started, not refused
    EXPECT_EQ(CountText(trace_path_, "too many tasks."), 0);
    EXPECT_EQ(ReadTree(Folder(Id(5))), SampleFiles("b"));
}

// Only the request that started a download is notified by it.
TEST_F(MediaServerTest, SecondRequestDuringTheDownload) {
    const std::string id = Id(3);
    Publish(id, SampleFiles());
    SlowFiles(500);
    Load();
    WindowRecorder first, second;
    EXPECT_EQ(Ask(id, first.handle()), "");
    EXPECT_EQ(Ask(id, second.handle()), "");
    ASSERT_TRUE(WaitForWorkers(1));
    EXPECT_EQ(first.Count(), 1u);
    EXPECT_EQ(second.Count(), 0u);
    EXPECT_EQ(RequestsFor(id), 1);
}

// A failed fetch notifies nobody, leaves nothing behind, and the next request tries again.
TEST_F(MediaServerTest, FailedFetchesLeaveNothing) {
    struct Row {
        const char* name;
        HttpAnswer answer;
    } rows[] = {
        {"error page with status 200", HttpAnswer::Text(200, "<html>server error</html>")},
        {"not found", HttpAnswer::Text(404, "missing")},
        {"damaged archive", HttpAnswer::Text(200, std::string("KEL\x01", 4) + "PK garbage")},
        {"cut mid-body",
         [] {
             HttpAnswer cut;
             cut.body = std::string("KEL\x01", 4) + std::string(100000, 'z');
             cut.close_after = 50000;
             return cut;
         }()},
    };
    int workers = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string id = Id(10 + workers);
        server_.Answer("/" + MediaPath(id), row.answer);
        if (!library_) {
            Load();
        }
        WindowRecorder window;
        EXPECT_EQ(Ask(id, window.handle()), "");
        ASSERT_TRUE(WaitForWorkers(++workers));
        EXPECT_EQ(window.Count(), 0u);
        EXPECT_FALSE(fs::exists(Package(id)));
        EXPECT_FALSE(fs::exists(Folder(id)));
        EXPECT_EQ(TempFiles(), 0);

        EXPECT_EQ(Ask(id, window.handle()), "");  // state -1: a new download starts
        ASSERT_TRUE(WaitForWorkers(++workers));
        EXPECT_EQ(RequestsFor(id), 2);
    }
}

// A fetched package of another version stays on disk and is answered as a package file, never
// as a folder that does not exist.
TEST_F(MediaServerTest, FetchedPackageOfAnotherVersion) {
    const std::string id = Id(20);
    Publish(id, SampleFiles(), 2);
    Load();
    WindowRecorder window;
    EXPECT_EQ(Ask(id, window.handle()), "");
    ASSERT_TRUE(WaitForWorkers(1));
    EXPECT_EQ(window.Count(), 0u);
    EXPECT_TRUE(fs::exists(Package(id)));
    EXPECT_EQ(Ask(id, window.handle()), Package(id));
    EXPECT_FALSE(fs::exists(Folder(id)));
    EXPECT_EQ(Ask(Id(21), window.handle(), true), "");  // missing on the server, wait mode
    Publish(Id(22), SampleFiles(), 2);
    EXPECT_EQ(Ask(Id(22), window.handle(), true), Package(Id(22)));
}

// Catches a fetched package unpacked without the publisher's signature while package_key is
// set (unsigned, or signed with another key), its part file left behind, a signed package that a
// client without a key refuses to unpack, and the background worker checking otherwise than the
// waiting one.
TEST_F(MediaServerTest, PackageKeyOnTheDownloadPath) {
    const platform::P256KeyPair key = platform::GenerateP256Key();
    const platform::P256KeyPair other = platform::GenerateP256Key();
    const struct {
        const char* label;
        const platform::P256KeyPair* signed_by;  // null: unsigned
        bool key_set;
        bool unpacked;
    } rows[] = {
        {"no key, signed", &key, false, true},
        {"key, signed", &key, true, true},
        {"key, unsigned", nullptr, true, false},
        {"key, signed by another", &other, true, false},
    };
    Load();  // the key, or none, is written before each row
    int n = 30;
    for (const bool wait : {true, false}) {
        for (const auto& row : rows) {
            SCOPED_TRACE(std::string(row.label) + (wait ? ", waiting" : ", in the background"));
            const std::string id = Id(n++);
            Publish(id, SampleFiles(id));
            if (row.signed_by != nullptr) {
                SignPackage(media_ / MediaPath(id), *row.signed_by);
            }
            library_->WriteSettings(
                "[download]\nhttp_server=127.0.0.1\nhttp_port=" + std::to_string(server_.port()) +
                "\n" + (row.key_set ? "package_key=" + PublicKeyText(key.public_key) + "\n" : ""));
            WindowRecorder window;
            const std::string answer = Ask(id, window.handle(), wait);
            if (!wait) {
                EXPECT_EQ(answer, "");
                ASSERT_TRUE(WaitForWorkers(n - 30));  // every worker so far, the waiting ones too
            } else {
                EXPECT_EQ(answer, row.unpacked ? Folder(id) : "");
            }
            EXPECT_EQ(window.Count(), row.unpacked ? 1u : 0u);
            EXPECT_EQ(fs::exists(Folder(id)), row.unpacked);
            EXPECT_FALSE(fs::exists(Package(id)));
            std::size_t part_files = 0;
            for (const auto& entry : fs::directory_iterator(sandbox_.resources())) {
                part_files += entry.path().filename().string().find(".part-") != std::string::npos;
            }
            EXPECT_EQ(part_files, 0u);
        }
    }
}

TEST_F(MediaServerTest, LimitRefusesWhileWorkersRun) {
    for (int n = 30; n < 34; ++n) {
        Publish(Id(n), SampleFiles());
    }
    SlowFiles(1500);
    Load("max_task=3\n");
    WindowRecorder window;
    for (int n = 30; n < 33; ++n) {
        EXPECT_EQ(Ask(Id(n), window.handle()), "");
    }
    ASSERT_TRUE(WaitForRequests(3));  // all three workers are running
    EXPECT_EQ(Ask(Id(33), window.handle()), "");
    EXPECT_EQ(CountText(trace_path_, "too many tasks."), 1);

    // wait mode ignores the limit.
    server_.AnswerFilesWith(HttpAnswer{});
    EXPECT_EQ(Ask(Id(33), window.handle(), true), Folder(Id(33)));
    ASSERT_TRUE(WaitForWorkers(4));
    EXPECT_EQ(window.Count(), 4u);
}

// Catches a limit tested before the workers raise the count: twenty requests at one instant
// started up to twenty downloads with a limit of 3.
TEST_F(MediaServerTest, LimitHoldsForRequestsAtOneInstant) {
    constexpr int kRequests = 20;
    for (int n = 0; n < kRequests; ++n) {
        Publish(Id(100 + n), SampleFiles());
    }
    SlowFiles(1500);
    Load("max_task=3\n");
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int n = 0; n < kRequests; ++n) {
        threads.emplace_back([&, n] {
            while (!go) {
                std::this_thread::yield();
            }
            Ask(Id(100 + n), 0);
        });
    }
    go = true;
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(CountText(trace_path_, "too many tasks."), kRequests - 3);
    ASSERT_TRUE(WaitForWorkers(3));
    EXPECT_EQ(server_.RequestLines().size(), 3u);
}

// Catches two processes sharing the resources folder losing the resource: one whose package
// arrives after the other has installed it deleted the installed folder, and two at the same
// moment wrote into one staging folder and left no folder at all. Each library copy stands for
// a process of its own.
TEST_F(MediaServerTest, TwoProcessesShareTheResourcesFolder) {
    const std::string id = Id(90);
    const FileMap files = SampleFiles("shared");
    Publish(id, files);
    SlowFiles(800);
    Load();
    LibraryCopy other(
        "[download]\nhttp_server=127.0.0.1\nhttp_port=" + std::to_string(server_.port()) + "\n");
    const auto resources_holds_only = [&](const std::string& folder) {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(sandbox_.resources())) {
            names.push_back(entry.path().filename().string());
        }
        EXPECT_EQ(names, std::vector<std::string>{fs::path(folder).filename().string()});
    };

    // At the same moment.
    std::string answers[2];
    std::thread first([&] { answers[0] = Ask(id, 0, true); });
    answers[1] = other.DownloadResFileEx(id, 0, nullptr, 0, true);
    first.join();
    EXPECT_EQ(answers[0], Folder(id));
    EXPECT_EQ(answers[1], Folder(id));
    EXPECT_EQ(ReadTree(Folder(id)), files);
    resources_holds_only(Folder(id));

    // One after the other: the folder is installed while the second package is on its way.
    const std::string next = Id(91);
    Publish(next, SampleFiles("second"));
    WindowRecorder window;
    std::thread late([&] { answers[0] = Ask(next, window.handle(), true); });
    ASSERT_TRUE(WaitForRequests(3));
    fs::create_directories(Folder(next));
    WriteFile(Folder(next) + "/installed.txt", "by the other process");
    late.join();
    EXPECT_EQ(answers[0], Folder(next));
    EXPECT_EQ(window.Count(), 1u);
    EXPECT_EQ(ReadFile(Folder(next) + "/installed.txt"), "by the other process");
    EXPECT_EQ(Ask(next, 0), Folder(next));  // known as downloaded
}

// The limit is read once; 0, negatives, words and empty text give 10.
TEST_F(MediaServerTest, LimitValues) {
    struct Row {
        const char* setting;
        int limit;
    } rows[] = {{"max_task=0\n", 10},
                {"max_task=-3\n", 10},
                {"max_task=many\n", 10},
                {"", 10},
                {"max_task=2\n", 2}};
    SlowFiles(1000);
    int id = 40;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.setting);
        Load(row.setting);
        server_.ClearRecords();
        WindowRecorder window;
        const int first = id;
        for (int i = 0; i < row.limit; ++i) {
            Publish(Id(first + i), SampleFiles());
        }
        for (int i = 0; i < row.limit; ++i) {
            EXPECT_EQ(Ask(Id(id++), window.handle()), "");
        }
        ASSERT_TRUE(WaitForRequests(row.limit));
        library_->WriteSettings("[download]\nmax_task=100\n");  // read once: no effect now
        EXPECT_EQ(Ask(Id(id++), window.handle()), "");
        EXPECT_TRUE(window.WaitFor(row.limit, kLong));
        library_.reset();
        const auto lines = server_.RequestLines();
        EXPECT_EQ(lines.size(), static_cast<std::size_t>(row.limit))
            << ::testing::PrintToString(lines);
    }
}

// Fifty threads ask for ten identifiers at once: one download each, and every request that
// started a download or found it done is notified exactly once. Each request uses a window of
// its own, so a notification tells which request it answered.
TEST_F(MediaServerTest, ManyThreadsManyIdentifiers) {
    constexpr int kIds = 10;
    constexpr int kThreads = 50;
    for (int n = 0; n < kIds; ++n) {
        Publish(Id(60 + n), SampleFiles(std::to_string(n)));
    }
    SlowFiles(200);
    Load();
    struct Attempt {
        std::unique_ptr<WindowRecorder> window = std::make_unique<WindowRecorder>();
        std::string answer;
        int id = 0;
    };
    std::vector<std::vector<Attempt>> attempts(kThreads);
    std::atomic<int> answered{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const int id = 60 + t % kIds;
            const auto deadline = std::chrono::steady_clock::now() + kLong;
            while (std::chrono::steady_clock::now() < deadline) {
                Attempt& attempt = attempts[t].emplace_back();
                attempt.id = id;
                attempt.answer = Ask(Id(id), attempt.window->handle());
                if (!attempt.answer.empty() || attempt.window->WaitFor(1, 50ms)) {
                    ++answered;
                    return;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(answered.load(), kThreads);
    ASSERT_TRUE(WaitForWorkers(kIds));
    std::map<int, int> starters;
    for (const auto& thread_attempts : attempts) {
        for (const auto& attempt : thread_attempts) {
            const std::size_t count = attempt.window->Count();
            if (!attempt.answer.empty()) {
                EXPECT_EQ(attempt.answer, Folder(Id(attempt.id)));
                EXPECT_EQ(count, 1u);
            } else if (count > 0) {
                EXPECT_EQ(count, 1u);
                ++starters[attempt.id];
            }
        }
    }
    for (int n = 0; n < kIds; ++n) {
        SCOPED_TRACE(Id(60 + n));
        EXPECT_EQ(RequestsFor(Id(60 + n)), 1);
        EXPECT_EQ(starters[60 + n], 1);
        EXPECT_EQ(ReadTree(Folder(Id(60 + n))), SampleFiles(std::to_string(n)));
    }
}

// Unloading the library while a worker runs must not crash: the worker finishes, notifies and
// then lets the library go.
TEST_F(MediaServerTest, UnloadWhileADownloadRuns) {
    const std::string id = Id(80);
    Publish(id, SampleFiles("unload"));
    SlowFiles(700);
    Load();
    WindowRecorder window;
    EXPECT_EQ(Ask(id, window.handle()), "");
    library_->Unload();
    ASSERT_TRUE(window.WaitFor(1, kLong));
    EXPECT_EQ(window.Received()[0].Path(3), Folder(id));
    ASSERT_TRUE(WaitForWorkers(1));
    EXPECT_EQ(ReadTree(Folder(id)), SampleFiles("unload"));
    std::this_thread::sleep_for(100ms);  // the worker thread returns and releases the library
}

}  // namespace
}  // namespace kel::test
