#pragma once

// The model server provider: sends the text before the caret, as a raw continuation
// prompt, to a server on this machine that speaks the generate protocol, and returns its
// continuation. Only loopback hosts are ever contacted, and never through a proxy, so what
// the user types cannot leave the computer.

#include "completion/completion_result.hpp"
#include "control/records.hpp"
#include "threading/lifetime.hpp"
#include "threading/main_loop.hpp"

#include <array>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace wisket {

// Asks a model server for a continuation. The engine talks to this interface, so its tests
// can script the server's side.
class ServerProvider {
public:
    virtual ~ServerProvider() = default;
    // Returns at once; `done` runs later on the main thread, exactly once (unless the
    // provider is destroyed first).
    virtual void generate(const CompletionRequest& request, const std::string& serverURL,
                          const std::string& model, CompletionCallback done) = 0;
};

inline constexpr std::array<std::string_view, 4> allowedHosts{"localhost", "127.0.0.1", "::1", "[::1]"};

// The scheme and host of `url` as the URL parser gives them; none when it is not a URL.
struct UrlOrigin {
    std::string scheme;
    std::string host;
};
std::optional<UrlOrigin> urlOrigin(const std::string& url);
bool isLoopbackHost(std::string_view host);

// `serverURL` with `path` appended as a path component. None when `serverURL` is not a URL
// or its host, as the URL parser gives it, is not one of `allowedHosts`.
std::optional<std::string> localEndpoint(const std::string& serverURL, std::string_view path);
// The server's generate address (localEndpoint with "api/generate").
std::optional<std::string> generateEndpoint(const std::string& serverURL);

// The names of the models the server at `serverURL` offers (its "api/tags"), in its order;
// none when the server cannot be asked (not local, no answer, not the expected JSON).
// Blocks for at most `timeout`; any thread but the main one.
std::optional<std::vector<std::string>> installedModels(const std::string& serverURL,
                                                        std::chrono::milliseconds timeout);
// The model names of an "api/tags" reply body; none when it is not such a reply.
std::optional<std::vector<std::string>> modelNamesReply(const std::string& body);
// True when a server answers at `serverURL` (any HTTP reply) within `timeout`; false at
// once for an address that generateEndpoint refuses. Blocks: for a one-off check only.
bool serverAnswers(const std::string& serverURL, std::chrono::milliseconds timeout);

// The JSON request body, without pretty printing; the JSON library's error when the text
// cannot be encoded (for example invalid UTF-8).
std::variant<std::string, JsonError> generateBody(const CompletionRequest& request, const std::string& model);

// The "response" string of a reply body; the parser's error for a body that is not JSON,
// badResponse for JSON without a string "response".
CompletionResult generateReply(const std::string& body);

class LocalHttpProvider final : public ServerProvider {
public:
    static constexpr std::chrono::milliseconds defaultTimeout{5000};

    // `timeout` bounds one whole exchange; tests shorten it, the product uses the default.
    explicit LocalHttpProvider(MainLoop& loop, std::chrono::milliseconds timeout = defaultTimeout);
    // Exchanges still in flight are abandoned: their callbacks never run.
    ~LocalHttpProvider() override;
    LocalHttpProvider(const LocalHttpProvider&) = delete;
    LocalHttpProvider& operator=(const LocalHttpProvider&) = delete;

    // Main thread. The exchange runs on the process-wide transfer thread; an address that
    // is not local fails with notLocal without any connection attempt, and a reply whose
    // status is not 2xx fails with its status alone.
    void generate(const CompletionRequest& request, const std::string& serverURL, const std::string& model,
                  CompletionCallback done) override;

private:
    MainLoop& m_loop;
    std::chrono::milliseconds m_timeout;
    Lifetime m_lifetime;
};

} // namespace wisket
