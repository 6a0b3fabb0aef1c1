#include "completion/local_http_provider.hpp"
#include "completion/loopback_http_server.hpp"
#include "completion/print_result.hpp"
#include "manual_loop.hpp"

#include <cstdlib>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

namespace wisket {
namespace {

using testing::LoopbackHttpServer;
using testing::ManualLoop;

CompletionRequest requestWith(std::string text, int maxWords) {
    return {.text = std::move(text),
            .appName = "Mail",
            .windowTitle = "Re: lunch",
            .plan = {.kind = TextKind::email, .minWords = 2, .maxWords = maxWords},
            .context = "Earlier message that must not be sent",
            .after = "text after the caret"};
}

// One exchange through the provider, waited for on the test's main loop.
class LocalHttpProviderTest : public ::testing::Test {
protected:
    CompletionResult ask(const std::string& serverURL,
                         const CompletionRequest& request = requestWith("Hi", 8)) {
        std::optional<CompletionResult> result;
        provider.generate(request, serverURL, "base-model",
                          [&](CompletionResult r) { result = std::move(r); });
        EXPECT_TRUE(loop.runUntil([&] { return result.has_value(); }));
        return result.value_or(CompletionResult::answer("<no answer>"));
    }

    ManualLoop loop;
    LoopbackHttpServer server;
    LocalHttpProvider provider{loop, std::chrono::milliseconds(400)};
};

// Proxy variables never route the text, and several requests may be in flight at once.
TEST_F(LocalHttpProviderTest, SendsTheRawTextAsTheWholePromptWithTheProtocolMembersAndNoProxy) {
    LoopbackHttpServer proxy;
    const char* const proxyVariables[] = {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"};
    for (const char* name : proxyVariables) {
        ::setenv(name, proxy.url().c_str(), 1);
    }
    ::unsetenv("no_proxy");
    ::unsetenv("NO_PROXY");
    server.setReply({.body = R"({"response":" back to you","done":true})"});
    EXPECT_EQ(ask(server.url(), requestWith("Thanks, I'll get \"back\"\nto", 8)),
              CompletionResult::answer(" back to you"));
    for (const char* name : proxyVariables) {
        ::unsetenv(name);
    }
    EXPECT_EQ(proxy.connections(), 0);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].target, "/api/generate");
    EXPECT_EQ(requests[0].headers.at("content-type"), "application/json");
    const auto expected = nlohmann::json{
        {"model", "base-model"}, {"prompt", "Thanks, I'll get \"back\"\nto"},
        {"raw", true},           {"stream", false},
        {"keep_alive", "30m"},   {"options", {{"num_predict", 20}, {"temperature", 0}, {"stop", {"\n"}}}},
    };
    EXPECT_EQ(nlohmann::json::parse(requests[0].body), expected);
    EXPECT_EQ(requests[0].body.find('\n'), std::string::npos) << "the body is not pretty-printed";
    EXPECT_TRUE(nlohmann::json::parse(requests[0].body)["options"]["temperature"].is_number_integer());

    // The token budget follows the word limit, and the connection is kept for the next request.
    server.setReply({.body = R"({"response":""})"});
    EXPECT_EQ(ask(server.url(), requestWith("a", 1)), CompletionResult::answer(""));
    EXPECT_EQ(nlohmann::json::parse(server.requests().at(1).body)["options"]["num_predict"], 6);
    EXPECT_EQ(server.connections(), 1);

    int answered = 0;
    for (int i = 0; i < 3; ++i) {
        provider.generate(requestWith("text " + std::to_string(i), 4), server.url(), "m",
                          [&](CompletionResult r) { answered += r.succeeded() ? 1 : 0; });
    }
    EXPECT_TRUE(loop.runUntil([&] { return answered == 3; }));
}

// Each failure keeps its kind, and its description names the cause, never the reply's
// body, which may echo the typed text.
TEST_F(LocalHttpProviderTest, FailuresKeepTheirKindAndNeverShowTheReplysBody) {
    LoopbackHttpServer elsewhere; // would answer, were a redirect followed or a refused address contacted
    const std::string port = std::to_string(elsewhere.port());
    struct Case {
        LoopbackHttpServer::Reply reply;
        CompletionFailure expected;       // of the same kind, its description a part of the one seen
        std::optional<std::string> url{}; // instead of the server's
    };
    const Case cases[] = {
        {{.body = "<html><body>Internal error</body></html>"}, JsonError{"parse error"}},
        {{.body = R"({"error":"model 'base-model' not found"})"}, CompletionError::badResponse()},
        {{.body = R"({"response":42})"}, CompletionError::badResponse()},
        {{.body = R"(["response"])"}, CompletionError::badResponse()},
        {{.body = R"("response")"}, CompletionError::badResponse()},
        // A reply past 1 MiB is no continuation; reading it stops there.
        {{.body = R"({"response":")" + std::string(1 << 20, 'a') + R"("})"}, TransportError{}},
        {{.silent = true}, TransportError{"timed out"}},
        {{.status = 500, .body = R"({"response":" ERRORBODYSHOWN"})"}, HttpStatusError{500}},
        {{.status = 307, .location = elsewhere.url() + "/api/generate"}, HttpStatusError{307}},
        {{}, TransportError{"onnect"}, "http://127.0.0.1:" + std::to_string(testing::unusedLoopbackPort())},
        // Addresses that are not loopback are refused before any connection.
        {{}, CompletionError::notLocal(), "http://127.0.0.2:" + port},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(description(c.expected) + " from " + c.url.value_or(c.reply.body.substr(0, 40)));
        server.setReply(c.reply);
        const CompletionResult result = ask(c.url.value_or(server.url()));
        ASSERT_FALSE(result.succeeded());
        EXPECT_EQ(result.error().index(), c.expected.index());
        EXPECT_NE(description(result.error()).find(description(c.expected)), std::string::npos)
            << description(result.error());
        EXPECT_EQ(description(result.error()).find("ERRORBODYSHOWN"), std::string::npos);
    }
    EXPECT_EQ(elsewhere.connections(), 0);
}

TEST(LocalHttpProviderLifetime, NoCallbackAfterDestructionEvenWhenTheResultWasAlreadyPosted) {
    ManualLoop loop;
    bool called = false;
    {
        LocalHttpProvider provider(loop);
        provider.generate(requestWith("Hi", 8), "not a url", "base-model",
                          [&](CompletionResult) { called = true; });
    }
    loop.runPosted();
    EXPECT_FALSE(called);
}

TEST(GenerateEndpoint, OnlyLoopbackHostsOnAnyPort) {
    EXPECT_EQ(generateEndpoint("http://127.0.0.1:11434"), "http://127.0.0.1:11434/api/generate");
    EXPECT_EQ(generateEndpoint("http://localhost:8080/"), "http://localhost:8080/api/generate");
    EXPECT_EQ(generateEndpoint("http://[::1]:9/models"), "http://[::1]:9/models/api/generate");
    EXPECT_EQ(generateEndpoint("https://localhost"), "https://localhost/api/generate");
    // Spellings the parser normalises to an allowed host are that host.
    EXPECT_EQ(generateEndpoint("http://127.1:5"), "http://127.0.0.1:5/api/generate");

    for (const char* url :
         {"http://192.168.1.20:11434", "http://10.0.0.8", "http://172.16.0.1:11434", "http://example.com",
          "http://localhost.example.com:11434", "http://LocalHost:11434", "http://[fe80::1]:11434",
          "http://127.0.0.1:99999", "127.0.0.1:11434", "ollama", "http://127.0.0.2", "http://0.0.0.0:1",
          "http://localhost.:1", "localhost:1", ""}) {
        EXPECT_EQ(generateEndpoint(url), std::nullopt) << url;
    }
}

TEST(GenerateBody, TextThatCannotBeEncodedIsTheJsonLibrarysError) {
    const auto body = generateBody(requestWith("bad \xff byte", 2), "m");
    const JsonError* error = std::get_if<JsonError>(&body);
    ASSERT_NE(error, nullptr);
    EXPECT_NE(error->message.find("UTF-8"), std::string::npos) << error->message;
}

TEST_F(LocalHttpProviderTest, InstalledModelsAreTheServersListOnlyFromALoopbackServerThatAnswersIt) {
    server.setReply({.body = R"({"models":[{"name":"qwen2.5:1.5b","size":1},{"name":"llama3.2:1b"}]})"});
    EXPECT_EQ(installedModels(server.url(), std::chrono::seconds(5)),
              (std::vector<std::string>{"qwen2.5:1.5b", "llama3.2:1b"}));
    EXPECT_EQ(server.requests().at(0).target, "/api/tags");
    for (const std::string body : {"not json", R"({"models":[{"size":1}]})", "[]"}) {
        server.setReply({.body = body});
        EXPECT_EQ(installedModels(server.url(), std::chrono::seconds(5)), std::nullopt) << body;
    }
    EXPECT_EQ(installedModels("http://example.com:" + std::to_string(server.port()), std::chrono::seconds(5)),
              std::nullopt);
    EXPECT_EQ(server.requests().size(), 4u);
}

} // namespace
} // namespace wisket
