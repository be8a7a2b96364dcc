// The frame of every export: no exception ever leaves the library.
#pragma once

#include <exception>

#include "KELResMgr/base/ResTrace.h"

namespace kel {

// Traces an exception that escaped the export named by function_tag, with its text when it has
// one. Never throws: a trace that cannot be written is dropped.
inline void TraceEscapedException(const char* function_tag, std::exception_ptr escaped) noexcept {
    try {
        std::rethrow_exception(escaped);
    } catch (const std::exception& error) {
        try {
            KEL_TRACE(function_tag, "failed with an exception: %s", error.what());
        } catch (...) {
        }
    } catch (...) {
        try {
            KEL_TRACE(function_tag, "failed with an exception of unknown type");
        } catch (...) {
        }
    }
}

// Runs body; when it throws, traces the exception (see above) and returns failure.
template <class Result, class Body>
Result Guarded(const char* function_tag, Result failure, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        TraceEscapedException(function_tag, std::current_exception());
        return failure;
    }
}

}  // namespace kel
