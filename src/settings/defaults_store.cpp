#include "settings/defaults_store.hpp"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <limits>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace wisket {
namespace {

std::optional<bool> asBool(const nlohmann::json& v) {
    return v.is_boolean() ? std::optional(v.get<bool>()) : std::nullopt;
}

std::optional<double> asDouble(const nlohmann::json& v) {
    if (!v.is_number() || !std::isfinite(v.get<double>())) {
        return std::nullopt;
    }
    return v.get<double>();
}

// Truncated toward zero, saturating instead of overflowing.
std::optional<long long> asInteger(const nlohmann::json& v) {
    if (v.is_number_integer()) {
        return v.get<long long>();
    }
    if (v.is_number_unsigned()) {
        const auto u = v.get<unsigned long long>();
        return u > static_cast<unsigned long long>(std::numeric_limits<long long>::max())
                   ? std::numeric_limits<long long>::max()
                   : static_cast<long long>(u);
    }
    const std::optional<double> n = asDouble(v);
    if (!n) {
        return std::nullopt;
    }
    if (*n >= 9.2e18) {
        return std::numeric_limits<long long>::max();
    }
    if (*n <= -9.2e18) {
        return std::numeric_limits<long long>::min();
    }
    return static_cast<long long>(*n);
}

std::optional<std::string> asString(const nlohmann::json& v) {
    return v.is_string() ? std::optional(v.get<std::string>()) : std::nullopt;
}

std::optional<std::vector<std::string>> asStringArray(const nlohmann::json& v) {
    if (!v.is_array()) {
        return std::nullopt;
    }
    std::vector<std::string> out;
    for (const auto& element : v) {
        if (!element.is_string()) {
            return std::nullopt;
        }
        out.push_back(element.get<std::string>());
    }
    return out;
}

// The stored value as `convert` takes it, else the registered default's.
template <typename Convert>
auto storedOrDefault(const nlohmann::json& values, const nlohmann::json& defaults, const std::string& key,
                     Convert convert) {
    for (const nlohmann::json* source : {&values, &defaults}) {
        if (auto it = source->find(key); it != source->end()) {
            if (auto value = convert(*it)) {
                return value;
            }
        }
    }
    return decltype(convert(values)){};
}

bool writeAll(int fd, const std::string& data) {
    std::size_t written = 0;
    while (written < data.size()) {
        const ssize_t n = ::write(fd, data.data() + written, data.size() - written);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        written += static_cast<std::size_t>(n);
    }
    return true;
}

void syncDirectory(const std::filesystem::path& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

} // namespace

DefaultsStore::DefaultsStore(std::filesystem::path file)
    : m_file(std::move(file)) {
    load();
}

std::filesystem::path configHome() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg == '/') {
        return xdg;
    }
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home && *home ? home : ".") / ".config";
}

std::filesystem::path DefaultsStore::standardLocation() {
    return configHome() / "wisket" / "settings.json";
}

void DefaultsStore::load() {
    std::ifstream in(m_file, std::ios::binary);
    if (!in) {
        return; // a fresh user: nothing stored yet
    }
    std::stringstream buffer;
    buffer << in.rdbuf();
    nlohmann::json parsed = nlohmann::json::parse(buffer.str(), nullptr, false);
    if (parsed.is_object()) {
        m_values = std::move(parsed);
    } else {
        m_unreadable = true;
    }
}

void DefaultsStore::registerDefaults(const nlohmann::json& defaults) {
    if (!defaults.is_object()) {
        return;
    }
    for (const auto& [key, value] : defaults.items()) {
        m_defaults[key] = value;
    }
}

bool DefaultsStore::boolValue(const std::string& key) const {
    return storedOrDefault(m_values, m_defaults, key, asBool).value_or(false);
}

long long DefaultsStore::integerValue(const std::string& key) const {
    return storedOrDefault(m_values, m_defaults, key, asInteger).value_or(0);
}

double DefaultsStore::doubleValue(const std::string& key) const {
    return storedOrDefault(m_values, m_defaults, key, asDouble).value_or(0.0);
}

std::optional<std::string> DefaultsStore::stringValue(const std::string& key) const {
    return storedOrDefault(m_values, m_defaults, key, asString);
}

std::optional<std::vector<std::string>> DefaultsStore::stringArrayValue(const std::string& key) const {
    return storedOrDefault(m_values, m_defaults, key, asStringArray);
}

void DefaultsStore::set(const std::string& key, nlohmann::json value) {
    m_values[key] = std::move(value);
    save();
}

void DefaultsStore::remove(const std::string& key) {
    if (m_values.erase(key) > 0) {
        save();
    }
}

void DefaultsStore::save() {
    if (m_unreadable) {
        // Keep what the user had; a hand-edited file with a typo is still theirs.
        std::filesystem::path bad = m_file;
        bad += ".bad";
        std::error_code error;
        std::filesystem::rename(m_file, bad, error);
        m_unreadable = false;
    }
    // Invalid UTF-8 in a stored string would make dump() throw: replace it instead.
    const std::string data = m_values.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    m_lastWriteOk = !replaceFile(m_file, data);
}

std::optional<std::string> replaceFile(const std::filesystem::path& file, const std::string& data,
                                       unsigned mode) {
    std::error_code error;
    const std::filesystem::path dir = file.parent_path();
    if (!dir.empty()) {
        std::filesystem::create_directories(dir, error);
    }
    std::string temporary = file.string() + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
        return std::strerror(errno);
    }
    ::fchmod(fd, mode);
    bool ok = writeAll(fd, data) && ::fsync(fd) == 0;
    int failure = ok ? 0 : errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        failure = errno;
    }
    if (ok && ::rename(temporary.c_str(), file.c_str()) != 0) {
        ok = false;
        failure = errno;
    }
    if (!ok) {
        ::unlink(temporary.c_str());
        return std::strerror(failure);
    }
    syncDirectory(dir.empty() ? std::filesystem::path(".") : dir);
    return std::nullopt;
}

} // namespace wisket
