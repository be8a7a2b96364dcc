#include "tools/kelres/command_line.h"
#include "tools/kelres/notification_receiver.h"

namespace kel::tool {

struct NotificationReceiver::Platform {
    static LRESULT Procedure(void* context, HWND window, UINT message, WPARAM w_param,
                             LPARAM l_param);
};

NotificationReceiver::NotificationReceiver() {
    window_ = KelCreateReceiver(&Platform::Procedure, this);
    if (window_ == 0) {
        throw CommandError("cannot create a message receiver for the library's notifications");
    }
}

NotificationReceiver::~NotificationReceiver() {
    KelDestroyReceiver(window_);
}

LRESULT NotificationReceiver::Platform::Procedure(void* context, HWND /*window*/, UINT message,
                                                  WPARAM /*w_param*/, LPARAM l_param) {
    if (message != WM_COPYDATA || l_param == 0) {
        return 0;
    }
    static_cast<NotificationReceiver*>(context)->Receive(
        *reinterpret_cast<const COPYDATASTRUCT*>(l_param));
    return 1;
}

}  // namespace kel::tool
