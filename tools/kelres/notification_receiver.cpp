// The receiver's platform half, which makes and ends the window (receiver) and hands each
// message to Receive, is in notification_receiver_posix.cpp and notification_receiver_windows.cpp.
#include "tools/kelres/notification_receiver.h"

#include <cstring>

namespace kel::tool {

void NotificationReceiver::Receive(const COPYDATASTRUCT& data) {
    // Payload: our RequestTag as we gave it, then the folder path, then one NUL byte. Anything
    // else is not a notification of ours and is dropped.
    const auto* payload = static_cast<const char*>(data.lpData);
    if (data.dwData != KELRES_NOTIFY_TAG || payload == nullptr ||
        data.cbData <= sizeof(RequestTag) || payload[data.cbData - 1] != '\0') {
        return;
    }
    RequestTag tag;
    std::memcpy(&tag, payload, sizeof tag);
    Notification notification;
    notification.request = tag.request;
    notification.folder.assign(payload + sizeof tag);  // up to the NUL
    MutexLock lock(mutex_);
    queue_.push_back(std::move(notification));
    arrived_.notify_one();
}

std::optional<Notification> NotificationReceiver::WaitNext(
    std::chrono::steady_clock::time_point deadline) {
    MutexLock lock(mutex_);
    // The condition runs with the lock held (the wait takes it back first).
    if (!arrived_.wait_until(lock, deadline,
                             [this]() KEL_REQUIRES(mutex_) { return !queue_.empty(); })) {
        return std::nullopt;
    }
    Notification next = std::move(queue_.front());
    queue_.pop_front();
    return next;
}

}  // namespace kel::tool
