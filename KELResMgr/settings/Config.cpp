#include "KELResMgr/settings/Config.h"

#include <atomic>
#include <cctype>
#include <climits>
#include <utility>

#include "KELResMgr/ModuleState.h"
#include "KELResMgr/base/ResTrace.h"
#include "platform/module_path.h"
#include "platform/path.h"
#include "platform/profile_reader.h"

namespace kel {
namespace {

constexpr char kFn[] = "[ReadConfig] ";

std::atomic<bool> g_test_mode{false};

std::string ComputeConfigFilePath() {
    return SettingsPathBeside(
        platform::ModuleFilePath(reinterpret_cast<const void*>(&ComputeConfigFilePath)));
}

}  // namespace

std::string SettingsPathBeside(const std::string& module_path) {
    const auto slash = module_path.find_last_of(platform::kPathSeparators);
    if (slash == std::string::npos) {
        return {};  // no folder to look in: never read the library file itself as settings
    }
    return module_path.substr(0, slash + 1) + config::kFileName;
}

void SetTestModeFlag(bool on) {
    g_test_mode.store(on, std::memory_order_relaxed);
}

bool TestModeOn() {
    return g_test_mode.load(std::memory_order_relaxed);
}

std::string ConfigFilePath() {
    return Module().config_path.Get(ComputeConfigFilePath);
}

ConfigReader::ConfigReader() : ConfigReader(ConfigFilePath()) {}

ConfigReader::ConfigReader(std::string path) : path_(std::move(path)), test_mode_(TestModeOn()) {}

std::string ConfigReader::Read(const std::string& section, const std::string& key,
                               const std::string& default_value) const {
    const std::string name = test_mode_ ? config::kTestModePrefix + key : key;
    bool skipped_long_line = false;
    std::string value = platform::GetPrivateProfileString(
        section, name, default_value, path_, config::kValueBufferSize, &skipped_long_line);
    if (skipped_long_line && !Module().long_settings_line_traced.exchange(true)) {
        KEL_TRACE(kFn, "%s: skipped a line longer than %zu characters", path_.c_str(),
                  platform::kMaxProfileLine);
    }
    return value;
}

std::string ReadConfig(const std::string& section, const std::string& key,
                       const std::string& default_value) {
    return ConfigReader().Read(section, key, default_value);
}

long ParseLeadingNumber(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    long long value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) {
            value = static_cast<long long>(INT_MAX) + 1;
        }
    }
    if (negative) {
        value = -value;
    }
    if (value > INT_MAX) {
        value = INT_MAX;
    }
    return static_cast<long>(value);
}

}  // namespace kel
