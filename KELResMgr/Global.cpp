// The library's exports. Each one is a thin frame around its body: no exception ever leaves the
// library; a failure that escapes a body becomes that export's failure value.
#include "KELResMgr.h"

#include <string>

#include "KELResMgr/ExportGuard.h"
#include "KELResMgr/ResManager.h"
#include "KELResMgr/base/ResTrace.h"
#include "KELResMgr/catalogue/CatalogueQueries.h"
#include "KELResMgr/download/DownloadRequests.h"
#include "KELResMgr/settings/Config.h"
#include "KELResMgr/settings/LocalFolders.h"

namespace {

using kel::Guarded;

constexpr char kUploadFn[] = "[UploadResFile] ";

}  // namespace

extern "C" {

KELRES_API void SetTestMode(bool on) {
    kel::SetTestModeFlag(on);
}

KELRES_API int UploadResFile(const char* localFile) {
    if (localFile == nullptr) {
        return KELRES_UPLOAD_NULL_PATH;
    }
    // A failure that escapes the upload is never reported as success.
    const int result = Guarded(kUploadFn, static_cast<int>(KELRES_UPLOAD_INTERNAL_FAILURE), [&] {
        KEL_TRACE(kUploadFn, "****** begin ****** ");
        kel::CResManager uploader;
        return uploader.UploadFileByFtp(localFile);
    });
    if (result != KELRES_UPLOAD_OK) {
        KEL_TRACE(kUploadFn, "failed return value: %i", result);
    }
    KEL_TRACE(kUploadFn, "******  end ****** ");
    return result;
}

KELRES_API int GetResourceDescription(const char* input, const char* author, char* buffer,
                                      uint32_t bufferSize) {
    return Guarded("[GetResourceDescription] ", 0, [&] {
        return kel::catalogue::GetResourceDescription(input, author, buffer, bufferSize);
    });
}

KELRES_API bool UpdateResourceDescription(const char* input, const char* description,
                                          const char* author) {
    return Guarded("[UpdateResourceDescription] ", false, [&] {
        return kel::catalogue::UpdateResourceDescription(input, description, author);
    });
}

KELRES_API int GetResIDState(const char* resourceId) {
    return Guarded("[GetResIDState] ", 0,
                   [&] { return kel::catalogue::GetResIDState(resourceId); });
}

KELRES_API int GetResourceID(const char* input, const char* author, char* buffer,
                             int32_t bufferSize) {
    return Guarded("[GetResourceID] ", 2, [&] {
        return kel::catalogue::GetResourceID(input, author, buffer, bufferSize);
    });
}

KELRES_API int ValidResID(const char* resourceId, const char* author) {
    return Guarded("[ValidResID] ", 2,
                   [&] { return kel::catalogue::ValidResID(resourceId, author); });
}

KELRES_API int InvalidResID(const char* resourceId) {
    return Guarded("[InvalidResID] ", 2, [&] { return kel::catalogue::InvalidResID(resourceId); });
}

KELRES_API void CreateUserFolder(const char* name) {
    Guarded("[CreateUserFolder] ", 0, [&] {
        kel::CreateUserFolderIn(name);
        return 0;
    });
}

KELRES_API std::string DownloadResFileEx(const std::string& name, HWND window, const void* data,
                                         uint32_t dataSize, bool wait) {
    return Guarded("[DownloadResFileEx] ", std::string(),
                   [&] { return kel::DownloadResFileEx(name, window, data, dataSize, wait); });
}

KELRES_API std::string DownloadResFile(const ResID* id, HWND window, const void* data,
                                       uint32_t dataSize) {
    return Guarded("[DownloadResFile] ", std::string(),
                   [&] { return kel::DownloadResFile(id, window, data, dataSize); });
}

}  // extern "C"
