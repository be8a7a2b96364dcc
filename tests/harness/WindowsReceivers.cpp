#include <windows.h>

#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "harness/Receivers.h"

namespace {

constexpr char kWindowClass[] = "kelres test receiver";

// One window and the thread that runs its message loop; the window lives as long as the object.
class ReceiverWindow {
  public:
    ReceiverWindow(KELRECEIVERPROC proc, void* context) : proc_(proc), context_(context) {
        std::promise<HWND> created;
        std::future<HWND> window = created.get_future();
        thread_ = std::thread([this, &created] { Run(created); });
        window_ = window.get();
    }
    // The close is handled after any message in hand, so no procedure runs once this returns.
    ~ReceiverWindow() {
        if (window_ != nullptr) {
            PostMessageA(window_, WM_CLOSE, 0, 0);
        }
        thread_.join();
    }
    ReceiverWindow(const ReceiverWindow&) = delete;
    ReceiverWindow& operator=(const ReceiverWindow&) = delete;

    HWND window() const { return window_; }

  private:
    void Run(std::promise<HWND>& created) {
        WNDCLASSEXA window_class{};
        window_class.cbSize = sizeof window_class;
        window_class.lpfnWndProc = &ReceiverWindow::Procedure;
        window_class.hInstance = GetModuleHandleA(nullptr);
        window_class.lpszClassName = kWindowClass;
        // Registered by the first receiver of the process; the others find it.
        if (RegisterClassExA(&window_class) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
            created.set_value(nullptr);
            return;
        }
        const HWND window = CreateWindowExA(0, kWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                            nullptr, window_class.hInstance, this);
        created.set_value(window);  // the promise is gone from here on
        if (window == nullptr) {
            return;
        }
        MSG message;
        while (GetMessageA(&message, nullptr, 0, 0) > 0) {
            DispatchMessageA(&message);
        }
    }

    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
        switch (message) {
            case WM_NCCREATE: {
                const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lparam);
                SetWindowLongPtrA(window, GWLP_USERDATA,
                                  reinterpret_cast<LONG_PTR>(create->lpCreateParams));
                break;
            }
            case WM_COPYDATA: {
                const auto* self = reinterpret_cast<const ReceiverWindow*>(
                    GetWindowLongPtrA(window, GWLP_USERDATA));
                return self->proc_(self->context_, window, message, wparam, lparam);
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
        return DefWindowProcA(window, message, wparam, lparam);
    }

    KELRECEIVERPROC proc_;
    void* context_;
    HWND window_ = nullptr;
    std::thread thread_;
};

struct Registry {
    std::mutex mutex;
    std::map<HWND, std::unique_ptr<ReceiverWindow>> windows;  // guarded by mutex
};

Registry& Windows() {
    static Registry registry;
    return registry;
}

}  // namespace

HWND KelCreateReceiver(KELRECEIVERPROC proc, void* context) {
    if (proc == nullptr) {
        return nullptr;
    }
    auto receiver = std::make_unique<ReceiverWindow>(proc, context);
    const HWND window = receiver->window();
    if (window == nullptr) {
        return nullptr;
    }
    Registry& registry = Windows();
    std::scoped_lock lock(registry.mutex);
    registry.windows.emplace(window, std::move(receiver));
    return window;
}

int KelDestroyReceiver(HWND window) {
    std::unique_ptr<ReceiverWindow> receiver;
    {
        Registry& registry = Windows();
        std::scoped_lock lock(registry.mutex);
        const auto found = registry.windows.find(window);
        if (found == registry.windows.end()) {
            return 0;
        }
        receiver = std::move(found->second);
        registry.windows.erase(found);
    }
    receiver.reset();  // waits for the message in hand, outside the lock
    return 1;
}
