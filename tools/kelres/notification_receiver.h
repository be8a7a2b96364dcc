// The receiver that stands for the host window the library notifies.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

#include "KELResMgr.h"

namespace kel::tool {

// The data block kelres gives with each download request. The library echoes it at the start of
// the notification's payload, which is how a notification is matched to its request.
struct RequestTag {
    uint32_t request = 0;  // index of the request in the command's list
};

// One "folder ready" notification, copied out of the message.
struct Notification {
    uint32_t request = 0;
    std::string folder;  // the resource's unpacked folder
};

// A message receiver (KelCreateReceiver) that collects the library's notifications. The library
// calls the receiver procedure on its own threads: on the requesting thread when the folder is
// already there, on a download worker when a download has been unpacked. The procedure copies
// the payload (which is valid only during the call) and returns at once; WaitNext hands the
// notifications to the thread that waits for them.
class NotificationReceiver {
  public:
    // Throws CommandError when no receiver can be created.
    NotificationReceiver();
    // Waits for a delivery in progress, so no message can reach a destroyed object.
    ~NotificationReceiver();
    NotificationReceiver(const NotificationReceiver&) = delete;
    NotificationReceiver& operator=(const NotificationReceiver&) = delete;

    // The handle to pass as the request's window.
    HWND window() const { return window_; }

    // The next notification, or nullopt when none has come by deadline. Any thread but the
    // library's, from outside the receiver procedure.
    std::optional<Notification> WaitNext(std::chrono::steady_clock::time_point deadline);

  private:
    static LRESULT Procedure(void* context, HWND window, UINT message, WPARAM w_param,
                             LPARAM l_param);
    void Receive(const COPYDATASTRUCT& data);

    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<Notification> queue_;  // guarded by mutex_
    HWND window_ = 0;
};

}  // namespace kel::tool
