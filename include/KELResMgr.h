// Public interface of the KELResMgr resource manager library.
//
// A host loads the library (libKELResMgr.so with dlopen, KELResMgr.dll with LoadLibraryA) and
// calls the exports below from any of its threads. The library reads its settings from
// "Tessel.ini" in the folder of the library file itself and keeps its files under
// "<application data>/Vorn Tessel/Resources/".
//
// Resource notifications arrive as WM_COPYDATA messages, tag KELRES_NOTIFY_TAG (1041). On Windows
// they go to the host's window with SendMessageA, so the window's thread must pump messages while
// downloads run. Elsewhere they go to a receiver that the host creates with KelCreateReceiver
// (libKELPlatform.so, which both the host and the library link, so that a process has exactly one
// registry of receivers).
//
// DownloadResFile and DownloadResFileEx pass std::string across the module boundary: a host must
// be built with the same compiler and C++ library as the module (on Windows: mingw-w64 g++ 12 with
// libstdc++), or the two sides disagree on what a std::string is. A C host, or one of another
// toolchain, includes this header too and sees the other exports, which take only C types.
#pragma once

#if defined(__cplusplus)
#include <cstdint>
#include <string>
#else
#include <stdbool.h>
#include <stdint.h>
#endif

#if defined(_WIN32)
#include <windows.h>
#if defined(KELRES_BUILDING_LIBRARY)
#define KELRES_API __declspec(dllexport)
#else
#define KELRES_API __declspec(dllimport)
#endif
#else
#define KELRES_API __attribute__((visibility("default")))
#endif

// The one notification the library sends: the resource's unpacked folder is ready.
#if defined(__cplusplus)
constexpr uintptr_t KELRES_NOTIFY_TAG = 1041;
#else
#define KELRES_NOTIFY_TAG ((uintptr_t)1041)
#endif

#if !defined(_WIN32)
// ---------------------------------------------------------------------------------------------
// Window-message stand-in (libKELPlatform.so)
// ---------------------------------------------------------------------------------------------
typedef uint32_t HWND;  // 32-bit receiver handle; 0 is the null handle
typedef uint32_t UINT;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;

#if defined(__cplusplus)
constexpr UINT WM_COPYDATA = 0x004A;
#else
#define WM_COPYDATA ((UINT)0x004A)
#endif

// lParam of WM_COPYDATA. The payload of a KELRES_NOTIFY_TAG message is the host's own data block
// (as given with the request), then the folder path, then one NUL byte; cbData counts all three.
// The payload belongs to the sender and is valid only while the receiver procedure runs.
typedef struct COPYDATASTRUCT {
    uintptr_t dwData;
    uint32_t cbData;
    void* lpData;
} COPYDATASTRUCT;

// Receiver procedure. It runs synchronously on the sending thread (a host thread inside a
// request, or a download worker of the library); the sender waits until it returns.
typedef LRESULT (*KELRECEIVERPROC)(void* context, HWND window, UINT message, WPARAM wParam,
                                   LPARAM lParam);

#if defined(__cplusplus)
extern "C" {
#endif
// Creates a receiver; returns its handle, or 0 when proc is null.
HWND KelCreateReceiver(KELRECEIVERPROC proc, void* context);
// Destroys a receiver. Waits for a delivery in progress on another thread; afterwards no message
// reaches it. Returns 1 when the handle named a live receiver.
int KelDestroyReceiver(HWND window);
// 1 when the handle names a live receiver.
int IsWindow(HWND window);
// Delivers synchronously; returns the procedure's answer, or 0 for a handle that is not live.
LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
#if defined(__cplusplus)
}
#endif
#endif

// ---------------------------------------------------------------------------------------------
// The library's exports (libKELResMgr.so, KELResMgr.dll)
// ---------------------------------------------------------------------------------------------

// A resource identifier: four single bytes, then a 32-bit little-endian number. Its text form is
// 16 upper-case hex digits: the four bytes in memory order, then the number (0A1B2C3D0000ABCD).
typedef struct ResID {
    uint8_t bytes[4];
    uint32_t number;  // stored little-endian, as on every platform the library runs on
} ResID;
#if defined(__cplusplus)
static_assert(sizeof(ResID) == 8, "ResID is an 8-byte record");
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(sizeof(ResID) == 8, "ResID is an 8-byte record");
#endif

// Result codes of UploadResFile.
enum {
    KELRES_UPLOAD_OK = 0,
    KELRES_UPLOAD_NULL_PATH = 1,
    KELRES_UPLOAD_NOT_CONFIGURED = 100,
    KELRES_UPLOAD_REFUSED = 101,          // the server refused the store (its answer is traced)
    KELRES_UPLOAD_CONNECT_FAILED = 102,   // host, connection or login failed
    KELRES_UPLOAD_TRANSFER_FAILED = 237,  // put file time-out or unknown error
    KELRES_UPLOAD_FOLDER_FAILED =
        334,  // a folder of the chain (or the base path) cannot be entered
    KELRES_UPLOAD_NO_SOURCE_FILE = 1000,   // the local file does not exist
    KELRES_UPLOAD_INTERNAL_FAILURE = 1001  // an unexpected failure inside the library
};

// Result codes of GetResourceID, ValidResID and InvalidResID.
enum {
    KELRES_CATALOGUE_OK = 0,              // the reply was read (ValidResID, InvalidResID: and
                                          // it is neither empty nor "0")
    KELRES_CATALOGUE_NOT_CONFIGURED = 1,  // no "ws_url": nothing was sent
    KELRES_CATALOGUE_REQUEST_FAILED =
        2,                         // no answer, a failed transfer, or a status of 400 or more
    KELRES_CATALOGUE_REPLY_NO = 3  // ValidResID, InvalidResID: the reply is empty or "0"
};

#if defined(__cplusplus)
extern "C" {
#endif
// Test mode: every setting is then read from its "t_"-prefixed key.
KELRES_API void SetTestMode(bool on);

// Stores localFile on the configured FTP server; one of the KELRES_UPLOAD_* codes.
KELRES_API int UploadResFile(const char* localFile);

// Catalogue queries. Not configured (no "ws_url"): 0, false, 0 and KELRES_CATALOGUE_NOT_CONFIGURED
// in this order. A failed request: 0, false, 0 and KELRES_CATALOGUE_REQUEST_FAILED.
KELRES_API int GetResourceDescription(const char* input, const char* author, char* buffer,
                                      uint32_t bufferSize);
KELRES_API bool UpdateResourceDescription(const char* input, const char* description,
                                          const char* author);
KELRES_API int GetResIDState(const char* resourceId);
KELRES_API int GetResourceID(const char* input, const char* author, char* buffer,
                             int32_t bufferSize);
KELRES_API int ValidResID(const char* resourceId, const char* author);
KELRES_API int InvalidResID(const char* resourceId);

// Creates <resources folder>/name (one level), creating the resources folder first if needed.
KELRES_API void CreateUserFolder(const char* name);

#if defined(__cplusplus)
// Download requests: the unpacked folder's path (the window has then been notified), a package
// file's path, or the empty string (a download runs or was refused). data is copied; the caller
// may free it when the call returns. Their names are unmangled, as every export's, but they pass
// a std::string: the host must use the library's compiler and C++ library (clang warns of this).
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif
KELRES_API std::string DownloadResFileEx(const std::string& name, HWND window, const void* data,
                                         uint32_t dataSize, bool wait);
KELRES_API std::string DownloadResFile(const ResID* id, HWND window, const void* data,
                                       uint32_t dataSize);
#if defined(__clang__)
#pragma clang diagnostic pop
#endif
}  // extern "C"
#endif

// The exports, for hosts that resolve them by name (dlsym, GetProcAddress):
// KELRES_EXPORTS(X) expands X(name) for each, e.g. to declare one PFN_name member per export and to
// resolve each of them.
#define KELRES_EXPORTS(X)        \
    X(SetTestMode)               \
    X(UploadResFile)             \
    X(GetResourceDescription)    \
    X(UpdateResourceDescription) \
    X(GetResIDState)             \
    X(GetResourceID)             \
    X(ValidResID)                \
    X(InvalidResID)              \
    X(CreateUserFolder)          \
    X(DownloadResFileEx)         \
    X(DownloadResFile)

// Function pointer types: PFN_SetTestMode, PFN_DownloadResFile, ...
#if defined(__cplusplus)
#define KELRES_DECLARE_PFN(name) using PFN_##name = decltype(&name);
KELRES_EXPORTS(KELRES_DECLARE_PFN)
#undef KELRES_DECLARE_PFN
#endif
