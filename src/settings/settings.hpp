#pragma once

// Every user preference, read from and written through to the settings file. Readers
// never cache a value: the pipeline reads the current one at each use, so a change takes
// effect on the next keystroke. Main thread only.

#include "settings/defaults_store.hpp"
#include "settings/preferences.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace wisket {

// This application's own id: it never suggests inside itself.
inline constexpr std::string_view ownApplicationID = "wisket";

class Settings {
public:
    using ObserverID = std::uint64_t;

    // The process-wide instance over the standard settings file, created on first use.
    static Settings& shared();

    explicit Settings(std::filesystem::path file);
    Settings(const Settings&) = delete;
    Settings& operator=(const Settings&) = delete;

    static const std::vector<std::string>& defaultExcludedAppIDs();
    // The recommended small model: Qwen2.5 0.5B Instruct, Q4_K_M (Apache-2.0).
    static constexpr const char* defaultModelDownloadURL =
        "https://huggingface.co/Qwen/Qwen2.5-0.5B-Instruct-GGUF/resolve/main/"
        "qwen2.5-0.5b-instruct-q4_k_m.gguf";

    // The ranges of the settings window's controls. Start-up brings a stored value from
    // elsewhere (a hand edit, another tool) into them, so a pause of 0 ms or an invisible
    // ghost text never reaches the pipeline.
    static constexpr int fewestWords = 1;
    static constexpr int mostWords = 12;
    static constexpr double shortestDebounceMs = 60;
    static constexpr double longestDebounceMs = 600;
    static constexpr double faintestGhostOpacity = 0.3;

    bool enabled() const { return m_enabled; }
    ProviderKind provider() const { return m_provider; }
    const std::string& ollamaURL() const { return m_ollamaURL; }
    const std::string& ollamaModel() const { return m_ollamaModel; }
    double debounceMs() const { return m_debounceMs; }
    int maxWords() const { return m_maxWords; }
    bool adaptiveLength() const { return m_adaptiveLength; }
    LengthPreference lengthPreference() const { return m_lengthPreference; }
    AcceptKey acceptKey() const { return m_acceptKey; }
    bool optionAcceptsWord() const { return m_optionAcceptsWord; }
    bool continueAfterAccept() const { return m_continueAfterAccept; }
    double ghostOpacity() const { return m_ghostOpacity; }
    bool showKeyHint() const { return m_showKeyHint; }
    bool useScreenContext() const { return m_useScreenContext; }
    bool keystrokeFallback() const { return m_keystrokeFallback; }
    const std::vector<std::string>& excludedAppIDs() const { return m_excludedAppIDs; }
    // The file name of the on-device model in the models folder; empty: the first by name.
    const std::string& onDeviceModel() const { return m_onDeviceModel; }
    // Where "Download a small model" fetches its model from.
    const std::string& modelDownloadURL() const { return m_modelDownloadURL; }

    // Each assignment notifies the observers first, then stores and writes the value,
    // also when it is unchanged. Only start-up checks values against their ranges.
    void setEnabled(bool value);
    void setProvider(ProviderKind value);
    void setOllamaURL(std::string value);
    void setOllamaModel(std::string value);
    void setDebounceMs(double value);
    void setMaxWords(int value);
    void setAdaptiveLength(bool value);
    void setLengthPreference(LengthPreference value);
    void setAcceptKey(AcceptKey value);
    void setOptionAcceptsWord(bool value);
    void setContinueAfterAccept(bool value);
    void setGhostOpacity(double value);
    void setShowKeyHint(bool value);
    void setUseScreenContext(bool value);
    void setKeystrokeFallback(bool value);
    void setExcludedAppIDs(std::vector<std::string> value);
    void setOnDeviceModel(std::string value);
    void setModelDownloadURL(std::string value);

    // True for this application itself and for every listed id (exact comparison).
    bool isExcluded(const std::optional<std::string>& appID) const;
    // Removes the first occurrence of a listed id, or appends a new one.
    void toggleExcluded(const std::string& appID);
    // Every field back to its default, each assigned (and so written) once.
    void resetAll();

    // `willChange` runs before any field changes.
    ObserverID addObserver(std::function<void()> willChange);
    void removeObserver(ObserverID id);

    const DefaultsStore& store() const { return m_store; }

private:
    void willChange();
    // Notifies, stores, then writes the field under `key` (enumerations as raw values).
    template <typename T, typename V> void assign(T& field, V&& value, const char* key) {
        willChange();
        field = std::forward<V>(value);
        if constexpr (std::is_enum_v<T>) {
            m_store.set(key, rawValue(field));
        } else {
            m_store.set(key, field);
        }
    }

    DefaultsStore m_store;
    std::map<ObserverID, std::function<void()>> m_observers;
    ObserverID m_nextObserver = 1;

    bool m_enabled = true;
    ProviderKind m_provider = ProviderKind::onDevice;
    std::string m_ollamaURL;
    std::string m_ollamaModel;
    double m_debounceMs = 180;
    int m_maxWords = 8;
    bool m_adaptiveLength = true;
    LengthPreference m_lengthPreference = LengthPreference::balanced;
    AcceptKey m_acceptKey = AcceptKey::tab;
    bool m_optionAcceptsWord = true;
    bool m_continueAfterAccept = true;
    double m_ghostOpacity = 0.9;
    bool m_showKeyHint = true;
    bool m_useScreenContext = true;
    bool m_keystrokeFallback = true;
    std::vector<std::string> m_excludedAppIDs;
    std::string m_onDeviceModel;
    std::string m_modelDownloadURL;
};

} // namespace wisket
