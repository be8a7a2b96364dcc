// Temporary folders and environment settings that tests make and always undo.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kel::test {

// A fresh folder under $TMPDIR (or /tmp; on Windows the system's temporary folder), removed with
// everything in it at destruction.
class TempFolder {
  public:
    explicit TempFolder(const std::string& prefix = "kelres-test-");
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& path() const { return path_; }
#if defined(_WIN32)
    std::string operator/(const std::string& name) const {
        return path_ + "\\" + name;
    }
#else
    std::string operator/(const std::string& name) const {
        return path_ + "/" + name;
    }
#endif

  private:
    std::string path_;
};

// The environment variable that names the system's temporary folder: the first one GetTempPathA
// reads on Windows.
#if defined(_WIN32)
inline constexpr char kTempVariable[] = "TMP";
#else
inline constexpr char kTempVariable[] = "TMPDIR";
#endif

// Sets an environment variable (or unsets it for nullopt) and restores the old value.
class ScopedEnv {
  public:
    ScopedEnv(std::string name, const std::optional<std::string>& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    void Set(const std::optional<std::string>& value) const;

    std::string name_;
    std::optional<std::string> old_;
};

#if defined(_WIN32)
// The library's tree lies in the system's all-users application-data folder, which no setting
// moves: the sandbox empties the tree there before and after. Only for a private Wine prefix, as
// the tests have one.
class AppDataSandbox {
  public:
    AppDataSandbox();
    ~AppDataSandbox();
    AppDataSandbox(const AppDataSandbox&) = delete;
    AppDataSandbox& operator=(const AppDataSandbox&) = delete;
    const std::string& common() const { return common_; }
    // The folder that holds the all-users folder, without a trailing separator (the drive alone
    // under Wine), so that root() + "/name" names an entry in it. What a test adds there goes
    // with the sandbox.
    const std::string& root() const { return root_; }
    // The resources folder a library loaded now would use, ending with '\\'.
    std::string resources() const { return common_ + "\\Vorn Tessel\\Resources\\"; }

  private:
    std::string common_;
    std::string root_;
    std::vector<std::string> root_entries_;  // the names in root() when the sandbox was made
};
#else
// Points both application-data folders of the library at folders of a temporary tree:
// common() for all users and user() for the current user.
class AppDataSandbox {
  public:
    AppDataSandbox();
    const std::string& root() const { return root_.path(); }
    std::string common() const { return root_ / "common"; }
    std::string user() const { return root_ / "user"; }
    // The resources folder a library loaded now would use, ending with '/'.
    std::string resources() const { return common() + "/Vorn Tessel/Resources/"; }

  private:
    TempFolder root_;
    ScopedEnv common_;
    ScopedEnv user_;
};
#endif

// Writes text into the file at path, replacing it.
void WriteFile(const std::string& path, const std::string& text);
// The whole content of the file, or nullopt when it cannot be read.
std::optional<std::string> ReadFile(const std::string& path);
// Every file and folder below root, as paths relative to it, sorted.
std::string ListTree(const std::string& root);

}  // namespace kel::test
