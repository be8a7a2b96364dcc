#include <windows.h>

#include <future>
#include <map>
#include <memory>
#include <mutex>

#include "harness/Receivers.h"

namespace {

constexpr char kWindowClass[] = "kelres test receiver";
// Enough for a procedure that calls the library, and small enough for the hundreds of receivers
// a test may keep in a 32-bit process (the program's default is 2 MiB each).
constexpr SIZE_T kThreadStack = 256 * 1024;

// One window and the thread that runs its message loop; the window lives as long as the object.
class ReceiverWindow {
  public:
    ReceiverWindow(KELRECEIVERPROC proc, void* context) : proc_(proc), context_(context) {
        std::future<void> created = created_.get_future();
        thread_ = CreateThread(nullptr, kThreadStack, &ReceiverWindow::Run, this,
                               STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
        if (thread_ != nullptr) {
            created.wait();
        }
    }
    // The close is handled after any message in hand, so no procedure runs once this returns.
    ~ReceiverWindow() {
        if (thread_ == nullptr) {
            return;
        }
        if (window_ != nullptr) {
            PostMessageA(window_, WM_CLOSE, 0, 0);
        }
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
    }
    ReceiverWindow(const ReceiverWindow&) = delete;
    ReceiverWindow& operator=(const ReceiverWindow&) = delete;

    HWND window() const { return window_; }

    // Once for the process, before any receiver's thread runs: receivers registering the class
    // at the same moment made Wine refuse some of their windows.
    static bool RegisterClassOnce() {
        static const bool registered = [] {
            WNDCLASSEXA window_class{};
            window_class.cbSize = sizeof window_class;
            window_class.lpfnWndProc = &ReceiverWindow::Procedure;
            window_class.hInstance = GetModuleHandleA(nullptr);
            window_class.lpszClassName = kWindowClass;
            return RegisterClassExA(&window_class) != 0;
        }();
        return registered;
    }

  private:
    static DWORD WINAPI Run(void* raw_self) {
        auto* self = static_cast<ReceiverWindow*>(raw_self);
        self->window_ = CreateWindowExA(0, kWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                        GetModuleHandleA(nullptr), self);
        const bool created = self->window_ != nullptr;
        self->created_.set_value();  // the constructor goes on from here
        if (!created) {
            return 0;
        }
        MSG message;
        while (GetMessageA(&message, nullptr, 0, 0) > 0) {
            DispatchMessageA(&message);
        }
        return 0;
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
    HWND window_ = nullptr;  // set on the window's thread before created_ is
    std::promise<void> created_;
    HANDLE thread_ = nullptr;
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
    if (proc == nullptr || !ReceiverWindow::RegisterClassOnce()) {
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
