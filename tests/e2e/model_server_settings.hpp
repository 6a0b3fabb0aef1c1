#pragma once

// Points the wisket under test at a model server: the settings file in the test desktop's
// private config folder, as a user would have it.

#include "completion/loopback_http_server.hpp"
#include "eventually.hpp"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace wisket::testing {

// The test program's model server; it lives until the program ends.
inline LoopbackHttpServer& modelServer() {
    static LoopbackHttpServer server;
    return server;
}

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

// The bodies of the requests from the `first`th on (an empty object for one that is none).
inline std::vector<nlohmann::json> requestBodies(const LoopbackHttpServer& server, std::size_t first = 0) {
    std::vector<nlohmann::json> bodies;
    const auto requests = server.requests();
    for (std::size_t i = first; i < requests.size(); ++i) {
        const auto json = nlohmann::json::parse(requests[i].body, nullptr, false);
        bodies.push_back(json.is_object() ? json : nlohmann::json::object());
    }
    return bodies;
}

// The body of the first request from the `first`th on whose prompt is `prompt`.
inline std::optional<nlohmann::json> waitForPrompt(const LoopbackHttpServer& server,
                                                   const std::string& prompt, std::size_t first = 0) {
    std::optional<nlohmann::json> found;
    eventually(
        [&] {
            for (const auto& body : requestBodies(server, first)) {
                if (body.value("prompt", "") == prompt) {
                    found = body;
                }
            }
            return found.has_value();
        },
        patience);
    return found;
}

} // namespace wisket::testing
