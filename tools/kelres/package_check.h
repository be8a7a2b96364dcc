// Whether the clients can unpack a package, told before it is published: the library's own
// header check, reader and inflate engine read the whole package as a client's extraction would,
// writing nothing, and the entry names, dates and attributes are judged by the rules of every
// client platform, whichever platform the check runs on.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <vector>

namespace kel {

// The clients a problem concerns, as bits.
enum ClientPlatforms : unsigned {
    kLinuxClients = 1,
    kWindowsClients = 2,
    kEveryClient = kLinuxClients | kWindowsClients,
};

// The clients of the system this program runs on, whose own extraction rule the check applies
// as well: kLinuxClients or kWindowsClients.
unsigned ThisPlatformClients();

// Where a Windows client unpacks by default: the all-users application-data folder.
inline constexpr char kWindowsResourcesFolder[] = "C:\\ProgramData\\Vorn Tessel\\Resources\\";
// The longest path Windows opens, in UTF-16 units: MAX_PATH less the terminator.
inline constexpr std::size_t kWindowsPathLimit = 259;

struct PackageProblem {
    std::string entry;  // the entry's name as the clients read it; empty for the whole package
    std::string what;   // for a person: what is wrong and what the clients do with it
    unsigned clients = kEveryClient;  // ClientPlatforms bits
};

struct PackageCheck {
    std::vector<PackageProblem> problems;  // in the order of the entries, collisions last
    std::size_t entries = 0;
    std::array<std::size_t, 4> names_by_encoding{};  // entries, indexed by NameEncoding
    // The longest path of a file, in UTF-16 units, as a Windows client installs it under
    // kWindowsResourcesFolder + "<T>_files\"; while unpacking, its paths are longer by the
    // staging folder's suffix (kWindowsStagingExtra).
    std::size_t longest_windows_path = 0;
};

// The staging folder's name is the target's and "_tmp-" with 8 hex digits.
inline constexpr std::size_t kWindowsStagingExtra = 13;

// The verdict on the package at package_path. Every fault of the file is a problem of the result;
// only memory exhaustion throws.
PackageCheck CheckPackage(const std::string& package_path);

// The problems that concern one of the clients given.
std::vector<PackageProblem> ProblemsFor(const PackageCheck& check, unsigned clients);

}  // namespace kel
