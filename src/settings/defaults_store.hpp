#pragma once

// A persistent key-value store with typed values and registered defaults, kept as one
// JSON object in a file. Registered defaults answer reads of keys never set and are never
// written. Every write replaces the file atomically (temporary file, flush, rename), so a
// crash mid-write leaves the old file whole. A file that cannot be parsed is set aside as
// "<name>.bad" before the first write replaces it; until then the defaults apply.

#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace wisket {

// $XDG_CONFIG_HOME when it is an absolute path, else ~/.config.
std::filesystem::path configHome();

// Replaces `file` with `data` atomically (temporary file, flush, rename), creating its
// folder; none on success, else the reason. The file gets `mode`.
std::optional<std::string> replaceFile(const std::filesystem::path& file, const std::string& data,
                                       unsigned mode = 0600);

class DefaultsStore {
public:
    explicit DefaultsStore(std::filesystem::path file);

    // $XDG_CONFIG_HOME/wisket/settings.json, or ~/.config/wisket/settings.json.
    static std::filesystem::path standardLocation();

    void registerDefaults(const nlohmann::json& defaults);

    // Typed reads: the stored value when it has the type asked for, else the registered
    // default. A value of another type (a hand edit, another tool) counts as not stored, so
    // "fast" is never read as a pause of 0 ms. Without either, each gives its fallback.
    bool boolValue(const std::string& key) const;                         // false
    long long integerValue(const std::string& key) const;                 // 0; truncated, saturated
    double doubleValue(const std::string& key) const;                     // 0
    std::optional<std::string> stringValue(const std::string& key) const; // none
    std::optional<std::vector<std::string>> stringArrayValue(const std::string& key) const;

    void set(const std::string& key, nlohmann::json value);
    void remove(const std::string& key);
    bool contains(const std::string& key) const { return m_values.contains(key); }

    const std::filesystem::path& file() const { return m_file; }
    // False when the last write failed; writes report nothing to their callers.
    bool lastWriteSucceeded() const { return m_lastWriteOk; }

private:
    void load();
    void save();

    std::filesystem::path m_file;
    nlohmann::json m_values = nlohmann::json::object();
    nlohmann::json m_defaults = nlohmann::json::object();
    bool m_unreadable = false; // the file exists but is not a JSON object
    bool m_lastWriteOk = true;
};

} // namespace wisket
