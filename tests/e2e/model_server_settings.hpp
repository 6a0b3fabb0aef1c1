#pragma once

// Points the wisket under test at a model server: the settings file in the test desktop's
// private config folder, as a user would have it.

#include "completion/loopback_http_server.hpp"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace wisket::testing {

inline std::filesystem::path wisketSettingsFile() {
    return std::filesystem::path(std::getenv("XDG_CONFIG_HOME")) / "wisket" / "settings.json";
}

inline void writeWisketSettings(const nlohmann::json& settings) {
    std::filesystem::create_directories(wisketSettingsFile().parent_path());
    std::ofstream(wisketSettingsFile()) << settings.dump();
}

// `excluded` replaces the default list of excluded applications when it names any.
inline void useModelServer(const LoopbackHttpServer& server, const std::vector<std::string>& excluded = {}) {
    nlohmann::json settings{{"provider", "ollama"}, {"ollamaURL", server.url()}, {"ollamaModel", "test"}};
    if (!excluded.empty()) {
        settings["excluded"] = excluded;
    }
    writeWisketSettings(settings);
}

// A server whose every answer is `response`.
inline void answerAlways(LoopbackHttpServer& server, const std::string& response) {
    server.setReply({.body = nlohmann::json{{"response", response}, {"done", true}}.dump()});
}

} // namespace wisket::testing
