// The receiver that stands for the host window the library notifies.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <thread>

#include "KELResMgr.h"
#include "platform/annotated_mutex.h"

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

// The window that collects the library's notifications, and hands them to the thread that waits
// for them (WaitNext). The payload is valid only while the message is handled, so it is copied.
//
// On Windows it is a message-only window (HWND_MESSAGE) of a thread of its own that does nothing
// but run the window's message loop: the library sends with SendMessageA, which waits until the
// window's thread has handled the message, from the requesting thread (the folder is already
// there) or from a download worker, and either must find that thread ready at any time.
// Elsewhere it is a message receiver (KelCreateReceiver), whose procedure the library calls on
// its own threads in the same two cases.
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
    // The platform half (notification_receiver_posix.cpp, notification_receiver_windows.cpp):
    // the receiver's procedure, which hands each message to Receive, and on Windows the window's
    // thread.
    struct Platform;
    void Receive(const COPYDATASTRUCT& data);

    Mutex mutex_;
    std::condition_variable_any arrived_;
    std::deque<Notification> queue_ KEL_GUARDED_BY(mutex_);
    HWND window_ = 0;
    // Windows: runs the window's message loop, and ends with the window. Elsewhere the library
    // calls the procedure on its own threads, and this one is never started.
    std::thread thread_;
};

}  // namespace kel::tool
