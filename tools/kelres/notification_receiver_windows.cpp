#include <windows.h>

#include <future>

#include "tools/kelres/command_line.h"
#include "tools/kelres/notification_receiver.h"

namespace kel::tool {
namespace {

constexpr char kWindowClass[] = "kelres notification receiver";

}  // namespace

struct NotificationReceiver::Platform {
    static void RunWindow(NotificationReceiver& receiver, std::promise<HWND>& created);
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM w_param, LPARAM l_param);
};

NotificationReceiver::NotificationReceiver() {
    std::promise<HWND> created;
    std::future<HWND> window = created.get_future();
    thread_ = std::thread([this, &created] { Platform::RunWindow(*this, created); });
    window_ = window.get();
    if (window_ == nullptr) {
        thread_.join();
        throw CommandError("cannot create a window for the library's notifications");
    }
}

NotificationReceiver::~NotificationReceiver() {
    // Handled on the window's thread, after any message being handled there: the window is gone,
    // and the loop ended, before the members go.
    PostMessageA(window_, WM_CLOSE, 0, 0);
    thread_.join();
}

void NotificationReceiver::Platform::RunWindow(NotificationReceiver& receiver,
                                               std::promise<HWND>& created) {
    WNDCLASSEXA window_class{};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = &Platform::Procedure;
    window_class.hInstance = GetModuleHandleA(nullptr);
    window_class.lpszClassName = kWindowClass;
    // Registered once per process; a second receiver finds the class there.
    if (RegisterClassExA(&window_class) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        created.set_value(nullptr);
        return;
    }
    HWND window = CreateWindowExA(0, kWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  window_class.hInstance, &receiver);
    created.set_value(window);  // the constructor's promise ends here: no use of it below
    if (window == nullptr) {
        return;
    }
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

LRESULT CALLBACK NotificationReceiver::Platform::Procedure(HWND window, UINT message,
                                                           WPARAM w_param, LPARAM l_param) {
    switch (message) {
        case WM_NCCREATE: {
            const auto* create = reinterpret_cast<const CREATESTRUCTA*>(l_param);
            SetWindowLongPtrA(window, GWLP_USERDATA,
                              reinterpret_cast<LONG_PTR>(create->lpCreateParams));
            break;
        }
        case WM_COPYDATA: {
            auto* receiver =
                reinterpret_cast<NotificationReceiver*>(GetWindowLongPtrA(window, GWLP_USERDATA));
            if (receiver == nullptr || l_param == 0) {
                return FALSE;
            }
            receiver->Receive(*reinterpret_cast<const COPYDATASTRUCT*>(l_param));
            return TRUE;
        }
        case WM_CLOSE:
            DestroyWindow(window);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            break;
    }
    return DefWindowProcA(window, message, w_param, l_param);
}

}  // namespace kel::tool
