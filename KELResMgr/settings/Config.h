// Settings from "Tessel.ini", the file beside the library file.
#pragma once

#include <string>

namespace kel {

namespace config {
inline constexpr char kDownload[] = "download";
inline constexpr char kUpload[] = "upload";

inline constexpr char kHttpServer[] = "http_server";
inline constexpr char kHttpPort[] = "http_port";
inline constexpr char kMaxTask[] = "max_task";
inline constexpr char kPackageKey[] = "package_key";
inline constexpr char kFtpServer[] = "ftp_server";
inline constexpr char kFtpPort[] = "ftp_port";
inline constexpr char kPath[] = "path";
inline constexpr char kWsUrl[] = "ws_url";
inline constexpr char kWsHttpPort[] = "ws_http_port";

// The media server on the local machine serves when no settings file says otherwise.
inline constexpr char kDefaultMediaServer[] = "localhost";
inline constexpr char kDefaultHttpPort[] = "8055";
inline constexpr char kDefaultMaxTask[] = "10";
inline constexpr char kDefaultFtpPort[] = "21";
inline constexpr char kDefaultWsHttpPort[] = "80";

inline constexpr char kFileName[] = "Tessel.ini";
inline constexpr char kTestModePrefix[] = "t_";
inline constexpr std::size_t kValueBufferSize = 10240;  // characters, terminator included
}  // namespace config

// Test mode: while on, every key is read under its "t_"-prefixed name. A single flag without a
// lock; a read that overlaps a change sees the old or the new mode.
void SetTestModeFlag(bool on);
bool TestModeOn();

// Full path of the settings file: the library file's folder + "/Tessel.ini". Computed at the first
// use, safely from several threads; empty while the library's own path cannot be had or names
// no folder.
std::string ConfigFilePath();

// The settings file beside the module file at module_path; empty when the path names no folder.
std::string SettingsPathBeside(const std::string& module_path);

// Reads keys under the test mode in force when it is made, so that settings that belong together
// (a server, its port and its folder) all come from one mode even when SetTestMode runs between
// their reads. Read gives the value of key (with the test-mode prefix in test mode) in section,
// or default_value when the file, the section or the key is missing. A key present with an empty
// value gives "". Lines longer than 64 KiB are skipped; the first such read of a load is traced.
// Never fails. Used by one thread.
class ConfigReader {
  public:
    // The settings file beside the library.
    ConfigReader();
    // The settings file at path.
    explicit ConfigReader(std::string path);

    std::string Read(const std::string& section, const std::string& key,
                     const std::string& default_value) const;

  private:
    std::string path_;
    bool test_mode_;
};

// One key read under the test mode in force now.
std::string ReadConfig(const std::string& section, const std::string& key,
                       const std::string& default_value);

// The leading decimal number of text as C's atoi reads it (blanks, a sign, digits); 0 without
// digits. Out-of-range values are clamped.
long ParseLeadingNumber(const std::string& text);

}  // namespace kel
