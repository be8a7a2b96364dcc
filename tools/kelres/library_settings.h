// What a loaded library reads and where it keeps its files, found with the library's own
// platform code: its settings reader, its folder lookup and its key names.
#pragma once

#include <string>
#include <vector>

namespace kel::tool {

// One key of "Tessel.ini" as the library reads it.
struct SettingKey {
    const char* section;
    const char* key;
    const char* default_value;
    const char* use;  // one line for `kelres config`
};

// Every key the library reads, in the order of the file's sections.
const std::vector<SettingKey>& AllSettingKeys();

// The settings of one loaded library: the file beside it, read as the library reads it.
class LibrarySettings {
  public:
    // library_address: any address inside the loaded library (an export), which names its file.
    LibrarySettings(const void* library_address, bool test_mode);

    // "<library's folder>/Tessel.ini"; empty when the library's own path cannot be had.
    const std::string& file() const { return file_; }
    bool file_exists() const;
    bool test_mode() const { return test_mode_; }

    // The name the library reads for key: with "t_" in front in test mode.
    std::string KeyRead(const std::string& key) const;
    // The value the library reads: the file's, else the default.
    std::string Value(const SettingKey& setting) const;
    // Whether the file sets the key (under the name read), even to an empty value.
    bool SetInFile(const SettingKey& setting) const;

    // The values of the servers as the library reads them.
    std::string Read(const char* section, const char* key, const char* default_value) const;
    // "http://host:port" of the media server; "ftp://host:port" of the FTP server;
    // "http://host:port" of the catalogue service.
    std::string MediaServer() const;
    // The media server's host; empty: the library downloads nothing.
    std::string MediaServerHost() const;
    std::string FtpServer() const;
    std::string CatalogueServer() const;
    // The download limit the library applies: "max_task" when it reads as a number above 0,
    // else 10.
    int DownloadLimit() const;

  private:
    std::string file_;
    bool test_mode_;
};

// The library's folders on this machine, as the library finds them with the same environment.
struct LibraryFolders {
    std::string common_base;  // all users' application data; empty when it cannot be had
    std::string user_base;    // the user's, looked up only when common_base is empty
    std::string app_data;     // base + "/Vorn Tessel"
    std::string resources;    // app_data + "/Resources/", ending with '/'
    // Neither base can be had: the library then keeps its tree in the temporary folder, in
    // "Vorn Tessel-<user id>".
    bool in_temporary_folder = false;
};
LibraryFolders FindLibraryFolders();

}  // namespace kel::tool
