#include "KELResMgr/zip/ZipException.h"

#include <zlib.h>

#include <utility>

namespace kel {

CZipException::CZipException(Cause cause, std::string archive_path, std::uint8_t kind)
    : kind_(kind),
      archive_path_(std::move(archive_path)),
      cause_(cause),
      what_(std::string("CZipException: ") + ZipCauseName(cause)) {}

CZipException::Cause CZipException::CauseFromCode(int code) {
    switch (code) {
        case Z_STREAM_END:
            return Cause::streamEnd;
        case Z_NEED_DICT:
            return Cause::needDict;
        case Z_ERRNO:
            return Cause::errNo;
        case Z_STREAM_ERROR:
            return Cause::streamError;
        case Z_DATA_ERROR:
            return Cause::dataError;
        case Z_MEM_ERROR:
            return Cause::memError;
        case Z_BUF_ERROR:
            return Cause::bufError;
        case Z_VERSION_ERROR:
            return Cause::versionError;
        case kZipParamError:
            return Cause::paramError;
        case kZipBadZipFile:
            return Cause::badZipFile;
        case kZipBadCrc:
            return Cause::badCrc;
        default:
            return Cause::generic;
    }
}

const char* ZipCauseName(CZipException::Cause cause) {
    using Cause = CZipException::Cause;
    switch (cause) {
        case Cause::generic:
            return "generic";
        case Cause::streamEnd:
            return "streamEnd";
        case Cause::needDict:
            return "needDict";
        case Cause::errNo:
            return "errNo";
        case Cause::streamError:
            return "streamError";
        case Cause::dataError:
            return "dataError";
        case Cause::memError:
            return "memError";
        case Cause::bufError:
            return "bufError";
        case Cause::versionError:
            return "versionError";
        case Cause::paramError:
            return "paramError";
        case Cause::badZipFile:
            return "badZipFile";
        case Cause::badCrc:
            return "badCrc";
    }
    return "unknown";
}

}  // namespace kel
