// The receivers that stand for a host's window in the tests, made and destroyed with the same two
// calls everywhere. Elsewhere they are the platform library's (KELResMgr.h), whose procedure the
// sender calls on its own thread. On Windows the library notifies real windows, so the harness
// makes one: a message-only window (HWND_MESSAGE) on a thread of its own that runs its message
// loop and hands each WM_COPYDATA to the procedure there, while the sender waits in SendMessageA.
#pragma once

#include "KELResMgr.h"

#if defined(_WIN32)
typedef LRESULT (*KELRECEIVERPROC)(void* context, HWND window, UINT message, WPARAM wParam,
                                   LPARAM lParam);

// A new window whose WM_COPYDATA messages go to proc; null when proc is null or no window can be
// made.
HWND KelCreateReceiver(KELRECEIVERPROC proc, void* context);
// Destroys a window made by KelCreateReceiver, after the message it is handling; its thread has
// ended when this returns. 1 when the handle named such a window. Never from the window's own
// procedure.
int KelDestroyReceiver(HWND window);
#endif
