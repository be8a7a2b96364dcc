// kelres get: asks the library for resources and waits for its "folder ready" notifications.
//
// This is the client's side of a download: a request answers at once (the folder when it is
// already there, else nothing while a download runs in the library's worker), and the
// notification that the library sends to our receiver when the folder is ready is the only
// sign of success. The library never reports a failed background download; a time-out ends
// the wait.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "tools/kelres/commands.h"
#include "tools/kelres/notification_receiver.h"
#include "tools/kelres/progress_monitor.h"
#include "tools/kelres/res_id.h"

namespace kel::tool {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr char kName[] = "get";
constexpr double kDefaultTimeoutSeconds = 60;
constexpr double kLongestTimeoutSeconds = 365.0 * 24 * 60 * 60;

struct Request {
    Request(std::string identifier_text, std::optional<ResID> resource_id)
        : text(std::move(identifier_text)), id(resource_id) {}

    std::string text;         // the identifier text T
    std::optional<ResID> id;  // set: asked by ResID (DownloadResFile); else by text
    enum class Stage { kWaiting, kAsked, kUnpacked, kFailed } stage = Stage::kWaiting;
    Clock::time_point deadline;
    bool asked_again = false;  // once, after the library set a non-package aside
};

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool Exists(const std::string& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

class Downloads {
  public:
    Downloads(Context& context, std::vector<Request> requests, Clock::duration timeout)
        : context_(context),
          library_(*context.library),
          settings_(*context.settings),
          resources_(FindLibraryFolders().resources),
          requests_(std::move(requests)),
          timeout_(timeout),
          progress_(context.console, resources_, requests_.size(),
                    settings_.MediaServerHost().empty() ? "" : settings_.MediaServer()) {}

    // Background requests, at most the library's limit at a time.
    int RunInBackground();
    // DownloadResFileEx with wait: each download runs inside the call, one after another.
    int RunWaiting();

  private:
    // Asks the library; wait chooses DownloadResFileEx's waiting mode. Returns its answer.
    std::string Ask(Request& request, bool wait);
    // Acts on a request's answer: the folder, nothing (a download runs), or a package file.
    void Answered(Request& request, const std::string& answer, bool waited);
    void Unpacked(Request& request, const std::string& folder);
    void Failed(Request& request, const std::string& message);
    void TimedOut(Request& request);
    std::size_t Asked() const;
    // Also writes the summary line of a terminal.
    int ExitCode();

    Context& context_;
    ResMgrLibrary& library_;
    const LibrarySettings& settings_;
    const std::string resources_;
    std::vector<Request> requests_;
    const Clock::duration timeout_;
    NotificationReceiver receiver_;
    ProgressMonitor progress_;  // after the requests: it is stopped first
};

std::string Downloads::Ask(Request& request, bool wait) {
    const auto index = static_cast<uint32_t>(&request - requests_.data());
    const RequestTag tag{index};  // copied by the library; echoed in the notification
    request.stage = Request::Stage::kAsked;
    request.deadline = Clock::now() + timeout_;
    progress_.Watch(request.text);
    if (request.id) {
        return library_.DownloadResFile(&*request.id, receiver_.window(), &tag, sizeof tag);
    }
    return library_.DownloadResFileEx(request.text, receiver_.window(), &tag, sizeof tag, wait);
}

void Downloads::Answered(Request& request, const std::string& answer, bool waited) {
    if (answer.empty()) {
        if (waited) {
            Failed(request, "cannot download " + request.text + " from " + settings_.MediaServer() +
                                "/" + PackageServerPath(request.text) +
                                ": the download, the package check or the unpacking failed");
        }
        return;  // a download runs; its notification will tell
    }
    if (!EndsWith(answer, ".tsl")) {
        Unpacked(request, answer);  // the folder; the notification came during the call
        return;
    }
    // A package file the library did not unpack. When it was no package at all, the library has
    // set it aside, and the next request downloads afresh.
    const std::string set_aside = answer + ".invalid_res_file";
    if (!Exists(answer) && Exists(set_aside) && !request.asked_again) {
        context_.console.Error(request.text + ": " + answer +
                               " was not a package; the library set it aside as " + set_aside +
                               " and downloads afresh");
        request.asked_again = true;
        Answered(request, Ask(request, waited), waited);
        return;
    }
    Failed(request, "cannot unpack the package file " + answer +
                        ": it is of another format version, or it could not be read; remove "
                        "it to download afresh");
}

void Downloads::Unpacked(Request& request, const std::string& folder) {
    if (request.stage != Request::Stage::kAsked) {
        return;  // told twice: by the answer and by the notification
    }
    request.stage = Request::Stage::kUnpacked;
    progress_.Finish(request.text, true);
    context_.console.Print(folder);
}

void Downloads::Failed(Request& request, const std::string& message) {
    request.stage = Request::Stage::kFailed;
    progress_.Finish(request.text, false);
    context_.console.Error(message);
}

void Downloads::TimedOut(Request& request) {
    std::string message = request.text + ": not unpacked within the time-out.\n  The library ";
    const auto bytes = PackageBytesSoFar(resources_, request.text);
    if (bytes) {
        message += "is still downloading (" + FormatBytes(static_cast<double>(*bytes)) +
                   " so far); give it more time with --timeout.";
    } else {
        message += "reports no failure of a download in the background: the media server " +
                   settings_.MediaServer() + "\n  may be unreachable or lack " +
                   PackageServerPath(request.text) +
                   ", the package may be damaged,\n  or the library refused the request "
                   "(too many at once).\n  'kelres get --wait --text " +
                   request.text + "' reports the download's own result.";
    }
    Failed(request, message);
    context_.workers_may_run = true;  // its worker may still be running
}

std::size_t Downloads::Asked() const {
    return static_cast<std::size_t>(std::count_if(
        requests_.begin(), requests_.end(),
        [](const Request& request) { return request.stage == Request::Stage::kAsked; }));
}

int Downloads::ExitCode() {
    const auto unpacked = static_cast<std::size_t>(std::count_if(
        requests_.begin(), requests_.end(),
        [](const Request& request) { return request.stage == Request::Stage::kUnpacked; }));
    progress_.Summarize(unpacked);
    return unpacked == requests_.size() ? kExitOk : kExitFailed;
}

int Downloads::RunInBackground() {
    const std::size_t limit = static_cast<std::size_t>(settings_.DownloadLimit());
    std::size_t next = 0;
    for (;;) {
        // Within the limit, the library starts every download at once in a worker of its own.
        while (next < requests_.size() && Asked() < limit) {
            Request& request = requests_[next++];
            Answered(request, Ask(request, false), false);
        }
        if (Asked() == 0 && next == requests_.size()) {
            break;
        }
        Clock::time_point deadline = Clock::time_point::max();
        for (const Request& request : requests_) {
            if (request.stage == Request::Stage::kAsked) {
                deadline = std::min(deadline, request.deadline);
            }
        }
        if (const auto notification = receiver_.WaitNext(deadline)) {
            if (notification->request < requests_.size()) {
                Unpacked(requests_[notification->request], notification->folder);
            }
            continue;
        }
        const Clock::time_point now = Clock::now();
        for (Request& request : requests_) {
            if (request.stage == Request::Stage::kAsked && request.deadline <= now) {
                TimedOut(request);
            }
        }
    }
    return ExitCode();
}

int Downloads::RunWaiting() {
    for (Request& request : requests_) {
        // The whole download runs inside this call; the notification arrives during it, on
        // this thread, and the answer is final.
        Answered(request, Ask(request, true), true);
    }
    return ExitCode();
}

// A second request for a resource whose download runs is answered with nothing and never
// notified, so each resource is asked for once.
void AddRequest(std::vector<Request>& requests, Request request) {
    const bool known = std::any_of(requests.begin(), requests.end(), [&](const Request& other) {
        return other.text == request.text;
    });
    if (!known) {
        requests.push_back(std::move(request));
    }
}

int RunGet(Arguments& args, Context& context) {
    const std::vector<std::string> texts = args.TakeValues("--text");
    const bool wait = args.TakeFlag("--wait");
    double timeout = kDefaultTimeoutSeconds;
    if (const auto given = args.TakeValue("--timeout")) {
        // Longer than a year is as good as forever, and keeps the deadline within the clock's
        // range.
        timeout =
            std::min(ParsePositiveSeconds("--timeout", *given, kName), kLongestTimeoutSeconds);
    }
    const std::vector<std::string> ids = args.Positionals(texts.empty() ? 1 : 0, SIZE_MAX);
    if (wait && !ids.empty()) {
        throw UsageError("--wait goes with --text: DownloadResFile has no waiting mode", kName);
    }

    std::vector<Request> requests;
    for (const std::string& text : ids) {
        const std::optional<ResID> id = ParseResId(text);
        if (!id) {
            throw UsageError("bad resource identifier \"" + text +
                                 "\": it must be 16 hexadecimal digits, such as 0A1B2C3D0000ABCD",
                             kName);
        }
        if (IsReservedResId(ResIdText(*id))) {
            throw UsageError(ResIdText(*id) + " is a reserved identifier: the library ignores it",
                             kName);
        }
        AddRequest(requests, Request(ResIdText(*id), id));
    }
    for (const std::string& text : texts) {
        if (text.empty()) {
            throw UsageError("--text needs an identifier text, not an empty one", kName);
        }
        AddRequest(requests, Request(text, std::nullopt));
    }

    const auto timeout_duration =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeout));
    Downloads downloads(context, std::move(requests), timeout_duration);
    return wait ? downloads.RunWaiting() : downloads.RunInBackground();
}

}  // namespace

Command GetCommand() {
    return Command{
        kName,
        "ID... | --text T... [--wait]",
        "download resources and print their folders",
        R"(Asks the library for each resource, waits for its notification that the resource is
unpacked, and prints the unpacked folder, one line each, as they become ready.

  ID          16 hexadecimal digits (0A1B2C3D0000ABCD): asked by ResID (DownloadResFile)
  --text T    an identifier text, passed as it is (DownloadResFileEx); may be repeated
  --wait      with --text: the download runs inside the call (DownloadResFileEx's waiting
              mode), and a failure is reported as soon as it happens
  --timeout S seconds to wait for each resource (default 60)

Several resources download at once, as many as the library's download limit ("max_task")
allows. On a terminal a progress line shows the bytes of each package so far and the rate,
then "unpacking"; when the media server tells the package's size (kelres asks it with a HEAD
request for the path the library downloads), also the size, the share done and the time left:
  0A1B2C3D0000ABCD 33.0/57.2 MiB 58% 8.8 MiB/s 0:03 left
After several resources a last line gives how many are ready, the size of the packages and the
time taken. None of this is written when the output is not a terminal.
)",
        true,
        RunGet};
}

}  // namespace kel::tool
