// Local paths: the separator between folder levels is the platform's own.
#pragma once

#include <string>
#include <string_view>

namespace kel::platform {

#if defined(_WIN32)
inline constexpr char kPathSeparator = '\\';
inline constexpr std::string_view kPathSeparators = "\\/";  // both are accepted on reading
#else
inline constexpr char kPathSeparator = '/';
inline constexpr std::string_view kPathSeparators = "/";
#endif

inline bool IsPathSeparator(char c) {
    return kPathSeparators.find(c) != std::string_view::npos;
}

// base + separator + part; the separator is not doubled when base already ends with one.
inline std::string JoinPath(std::string_view base, std::string_view part) {
    std::string path(base);
    if (!path.empty() && !IsPathSeparator(path.back())) {
        path.push_back(kPathSeparator);
    }
    path.append(part);
    return path;
}

// path with one separator at its end.
inline std::string WithTrailingSeparator(std::string path) {
    if (path.empty() || !IsPathSeparator(path.back())) {
        path.push_back(kPathSeparator);
    }
    return path;
}

}  // namespace kel::platform
