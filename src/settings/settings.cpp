#include "settings/settings.hpp"

#include <algorithm>

namespace wisket {
namespace {

constexpr const char* defaultOllamaURL = "http://127.0.0.1:11434";
constexpr const char* defaultOllamaModel = "qwen2.5:1.5b";
constexpr double defaultDebounceMs = 180;
constexpr double defaultGhostOpacity = 0.9;

int clampWords(long long value) {
    return static_cast<int>(std::clamp<long long>(value, Settings::fewestWords, Settings::mostWords));
}

// A stored opacity outside 0…1 is no opacity at all, so the default stands in for it. One
// within it but below the window's faintest setting would leave the ghost text all but
// invisible while the accept key still types it: it is raised to that setting.
double sanitizedOpacity(double opacity) {
    if (opacity < 0 || opacity > 1) {
        return defaultGhostOpacity;
    }
    return std::max(opacity, Settings::faintestGhostOpacity);
}

} // namespace

const std::vector<std::string>& Settings::defaultExcludedAppIDs() {
    static const std::vector<std::string> ids{
        "com.1password.1password",
        "com.agilebits.onepassword7",
        "com.bitwarden.desktop",
        "com.apple.keychainaccess",
        "com.apple.Passwords",
        "com.apple.Terminal",
        "com.googlecode.iterm2",
        "com.mitchellh.ghostty",
        "dev.warp.Warp-Stable",
        // Password managers and terminals on Linux, by GTK application id or window class.
        "org.keepassxc.KeePassXC",
        "KeePassXC",
        "Bitwarden",
        "1Password",
        "org.gnome.seahorse.Application",
        "org.gnome.World.Secrets",
        "org.gnome.Terminal",
        "org.gnome.Console",
        "org.kde.konsole",
        "konsole",
        "XTerm",
        "kitty",
        "Alacritty",
        "org.wezfurlong.wezterm",
        "com.gexperts.Tilix",
        "Xfce4-terminal",
        "foot",
    };
    return ids;
}

Settings& Settings::shared() {
    static Settings settings(DefaultsStore::standardLocation());
    return settings;
}

Settings::Settings(std::filesystem::path file)
    : m_store(std::move(file)) {
    m_store.registerDefaults({
        {"enabled", true},
        {"provider", "apple"},
        {"ollamaURL", defaultOllamaURL},
        {"ollamaModel", defaultOllamaModel},
        {"debounceMs", defaultDebounceMs},
        {"maxWords", 8},
        {"keystrokeFallback", true},
        {"adaptiveLength", true},
        {"lengthPreference", "balanced"},
        {"acceptKey", "tab"},
        {"optionAcceptsWord", true},
        {"continueAfterAccept", true},
        {"ghostOpacity", defaultGhostOpacity},
        {"showKeyHint", true},
        {"useScreenContext", true},
        {"excluded", defaultExcludedAppIDs()},
        {"onDeviceModel", ""},
        {"modelDownloadURL", defaultModelDownloadURL},
    });
    const DefaultsStore& d = m_store;
    m_enabled = d.boolValue("enabled");
    m_provider = providerKindFromRaw(d.stringValue("provider").value_or("")).value_or(ProviderKind::onDevice);
    m_ollamaURL = d.stringValue("ollamaURL").value_or(defaultOllamaURL);
    m_ollamaModel = d.stringValue("ollamaModel").value_or(defaultOllamaModel);
    m_debounceMs = std::clamp(d.doubleValue("debounceMs"), shortestDebounceMs, longestDebounceMs);
    m_maxWords = clampWords(d.integerValue("maxWords"));
    m_keystrokeFallback = d.boolValue("keystrokeFallback");
    m_adaptiveLength = d.boolValue("adaptiveLength");
    m_lengthPreference = lengthPreferenceFromRaw(d.stringValue("lengthPreference").value_or(""))
                             .value_or(LengthPreference::balanced);
    m_acceptKey = acceptKeyFromRaw(d.stringValue("acceptKey").value_or("")).value_or(AcceptKey::tab);
    m_optionAcceptsWord = d.boolValue("optionAcceptsWord");
    m_continueAfterAccept = d.boolValue("continueAfterAccept");
    m_ghostOpacity = sanitizedOpacity(d.doubleValue("ghostOpacity"));
    m_showKeyHint = d.boolValue("showKeyHint");
    m_useScreenContext = d.boolValue("useScreenContext");
    m_excludedAppIDs = d.stringArrayValue("excluded").value_or(defaultExcludedAppIDs());
    m_onDeviceModel = d.stringValue("onDeviceModel").value_or("");
    m_modelDownloadURL = d.stringValue("modelDownloadURL").value_or(defaultModelDownloadURL);
}

void Settings::willChange() {
    // Copy first: an observer may add or remove observers.
    const auto observers = m_observers;
    for (const auto& [id, observer] : observers) {
        observer();
    }
}

Settings::ObserverID Settings::addObserver(std::function<void()> willChange) {
    const ObserverID id = m_nextObserver++;
    m_observers.emplace(id, std::move(willChange));
    return id;
}

void Settings::removeObserver(ObserverID id) {
    m_observers.erase(id);
}

void Settings::setEnabled(bool value) {
    assign(m_enabled, value, "enabled");
}

void Settings::setProvider(ProviderKind value) {
    assign(m_provider, value, "provider");
}

void Settings::setOllamaURL(std::string value) {
    assign(m_ollamaURL, std::move(value), "ollamaURL");
}

void Settings::setOllamaModel(std::string value) {
    assign(m_ollamaModel, std::move(value), "ollamaModel");
}

void Settings::setDebounceMs(double value) {
    assign(m_debounceMs, value, "debounceMs");
}

void Settings::setMaxWords(int value) {
    assign(m_maxWords, value, "maxWords");
}

void Settings::setAdaptiveLength(bool value) {
    assign(m_adaptiveLength, value, "adaptiveLength");
}

void Settings::setLengthPreference(LengthPreference value) {
    assign(m_lengthPreference, value, "lengthPreference");
}

void Settings::setAcceptKey(AcceptKey value) {
    assign(m_acceptKey, value, "acceptKey");
}

void Settings::setOptionAcceptsWord(bool value) {
    assign(m_optionAcceptsWord, value, "optionAcceptsWord");
}

void Settings::setContinueAfterAccept(bool value) {
    assign(m_continueAfterAccept, value, "continueAfterAccept");
}

void Settings::setGhostOpacity(double value) {
    assign(m_ghostOpacity, value, "ghostOpacity");
}

void Settings::setShowKeyHint(bool value) {
    assign(m_showKeyHint, value, "showKeyHint");
}

void Settings::setUseScreenContext(bool value) {
    assign(m_useScreenContext, value, "useScreenContext");
}

void Settings::setKeystrokeFallback(bool value) {
    assign(m_keystrokeFallback, value, "keystrokeFallback");
}

void Settings::setExcludedAppIDs(std::vector<std::string> value) {
    assign(m_excludedAppIDs, std::move(value), "excluded");
}

void Settings::setOnDeviceModel(std::string value) {
    assign(m_onDeviceModel, std::move(value), "onDeviceModel");
}

void Settings::setModelDownloadURL(std::string value) {
    assign(m_modelDownloadURL, std::move(value), "modelDownloadURL");
}

bool Settings::isExcluded(const std::optional<std::string>& appID) const {
    if (!appID) {
        return false;
    }
    if (*appID == ownApplicationID) {
        return true;
    }
    return std::find(m_excludedAppIDs.begin(), m_excludedAppIDs.end(), *appID) != m_excludedAppIDs.end();
}

void Settings::toggleExcluded(const std::string& appID) {
    std::vector<std::string> ids = m_excludedAppIDs;
    if (auto it = std::find(ids.begin(), ids.end(), appID); it != ids.end()) {
        ids.erase(it);
    } else {
        ids.push_back(appID);
    }
    setExcludedAppIDs(std::move(ids));
}

void Settings::resetAll() {
    for (const char* key : {"enabled", "provider", "ollamaURL", "ollamaModel", "debounceMs", "maxWords",
                            "keystrokeFallback", "excluded", "adaptiveLength", "lengthPreference",
                            "acceptKey", "optionAcceptsWord", "continueAfterAccept", "ghostOpacity",
                            "showKeyHint", "useScreenContext", "onDeviceModel", "modelDownloadURL"}) {
        m_store.remove(key);
    }
    setEnabled(m_store.boolValue("enabled"));
    setProvider(ProviderKind::onDevice);
    setOllamaURL(m_store.stringValue("ollamaURL").value_or(""));
    setOllamaModel(m_store.stringValue("ollamaModel").value_or(""));
    setDebounceMs(m_store.doubleValue("debounceMs"));
    setMaxWords(static_cast<int>(m_store.integerValue("maxWords")));
    setKeystrokeFallback(m_store.boolValue("keystrokeFallback"));
    setExcludedAppIDs(defaultExcludedAppIDs());
    setAdaptiveLength(true);
    setLengthPreference(LengthPreference::balanced);
    setAcceptKey(AcceptKey::tab);
    setOptionAcceptsWord(true);
    setContinueAfterAccept(true);
    setGhostOpacity(m_store.doubleValue("ghostOpacity"));
    setShowKeyHint(true);
    setUseScreenContext(true);
    setOnDeviceModel("");
    setModelDownloadURL(defaultModelDownloadURL);
}

} // namespace wisket
