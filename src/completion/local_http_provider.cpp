#include "completion/local_http_provider.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <curl/curl.h>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>
#include <utility>
#include <vector>

namespace wisket {

namespace {

// Frees what libcurl's URL API hands out.
struct CurlUrlDeleter {
    void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};
struct CurlStringDeleter {
    void operator()(char* text) const { curl_free(text); }
};
using CurlUrl = std::unique_ptr<CURLU, CurlUrlDeleter>;
using CurlString = std::unique_ptr<char, CurlStringDeleter>;

std::optional<std::string> urlPart(CURLU* url, CURLUPart part) {
    char* raw = nullptr;
    if (curl_url_get(url, part, &raw, 0) != CURLUE_OK || raw == nullptr) {
        return std::nullopt;
    }
    const CurlString owned(raw);
    return std::string(owned.get());
}

// `url` and `timeout` on `easy`, reached directly: typed text must never be routed
// anywhere else, whatever the environment says.
void configureDirect(CURL* easy, const std::string& url, std::chrono::milliseconds timeout) {
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_PROXY, "");
    curl_easy_setopt(easy, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_NETRC, static_cast<long>(CURL_NETRC_IGNORED));
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
}

// A reply larger than this is no continuation of a few words; stop reading it.
constexpr std::size_t maxReplyBytes = 1 << 20;

struct HttpReply {
    CURLcode code = CURLE_OK;
    std::string message; // libcurl's description of a failure
    long status = 0;     // of the HTTP reply, when the exchange completed
    std::string body;
};

// One process-wide transfer thread over a libcurl multi handle: every exchange with the
// model server runs here, several at once, and connections to the server are kept and
// reused between requests. Callbacks run on this thread.
class HttpTransport {
public:
    using Done = std::function<void(HttpReply)>;

    static HttpTransport& shared() {
        static HttpTransport transport;
        return transport;
    }

    // Starts a POST of `body` to `url`; `done` runs once, on the transfer thread, unless
    // cancelled first. Any thread.
    void post(const void* owner, std::string url, std::string body, std::chrono::milliseconds timeout,
              Done done) {
        auto transfer = std::make_unique<Transfer>();
        transfer->owner = owner;
        transfer->url = std::move(url);
        transfer->body = std::move(body);
        transfer->timeout = timeout;
        transfer->done = std::move(done);
        {
            const std::lock_guard lock(m_mutex);
            m_incoming.push_back(std::move(transfer));
        }
        curl_multi_wakeup(m_multi);
    }

    // After this returns, no callback of `owner` runs any more. Any thread.
    void cancelAll(const void* owner) {
        {
            const std::lock_guard lock(m_mutex);
            std::erase_if(m_incoming, [owner](const auto& t) { return t->owner == owner; });
            for (auto& [easy, transfer] : m_active) {
                if (transfer->owner == owner) {
                    transfer->done = nullptr;
                }
            }
        }
        curl_multi_wakeup(m_multi);
    }

private:
    struct Transfer {
        const void* owner = nullptr;
        std::string url;
        std::string body;
        std::chrono::milliseconds timeout{0};
        Done done; // cleared when cancelled; guarded by m_mutex
        CURL* easy = nullptr;
        curl_slist* headers = nullptr;
        std::string reply;
        char error[CURL_ERROR_SIZE] = {};

        ~Transfer() {
            curl_slist_free_all(headers);
            curl_easy_cleanup(easy);
        }
    };

    HttpTransport() {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        m_multi = curl_multi_init();
        m_thread = std::thread([this] { run(); });
    }

    ~HttpTransport() {
        m_stopping = true;
        curl_multi_wakeup(m_multi);
        m_thread.join();
        for (auto& [easy, transfer] : m_active) {
            curl_multi_remove_handle(m_multi, easy);
        }
        m_active.clear();
        curl_multi_cleanup(m_multi);
    }

    static std::size_t collect(char* data, std::size_t size, std::size_t count, void* user) {
        auto* transfer = static_cast<Transfer*>(user);
        const std::size_t bytes = size * count;
        if (transfer->reply.size() + bytes > maxReplyBytes) {
            return 0; // libcurl ends the transfer with a write error
        }
        transfer->reply.append(data, bytes);
        return bytes;
    }

    void start(Transfer& t) {
        t.easy = curl_easy_init();
        t.headers = curl_slist_append(t.headers, "Content-Type: application/json");
        // Without this, libcurl waits for a "100 Continue" before sending a larger body.
        t.headers = curl_slist_append(t.headers, "Expect:");
        configureDirect(t.easy, t.url, t.timeout);
        curl_easy_setopt(t.easy, CURLOPT_HTTPHEADER, t.headers);
        curl_easy_setopt(t.easy, CURLOPT_POST, 1L);
        curl_easy_setopt(t.easy, CURLOPT_POSTFIELDS, t.body.data());
        curl_easy_setopt(t.easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(t.body.size()));
        curl_easy_setopt(t.easy, CURLOPT_WRITEFUNCTION, &HttpTransport::collect);
        curl_easy_setopt(t.easy, CURLOPT_WRITEDATA, &t);
        curl_easy_setopt(t.easy, CURLOPT_ERRORBUFFER, t.error);
        curl_multi_add_handle(m_multi, t.easy);
    }

    void finish(CURL* easy, CURLcode code) {
        curl_multi_remove_handle(m_multi, easy);
        const std::lock_guard lock(m_mutex);
        auto found = m_active.find(easy);
        if (found == m_active.end()) {
            return;
        }
        std::unique_ptr<Transfer> transfer = std::move(found->second);
        m_active.erase(found);
        if (!transfer->done) {
            return;
        }
        HttpReply reply;
        reply.code = code;
        if (code != CURLE_OK) {
            reply.message = transfer->error[0] != '\0' ? transfer->error : curl_easy_strerror(code);
        } else {
            curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &reply.status);
        }
        reply.body = std::move(transfer->reply);
        transfer->done(std::move(reply));
    }

    void run() {
        while (!m_stopping) {
            std::vector<std::unique_ptr<Transfer>> incoming;
            std::vector<CURL*> cancelled;
            {
                const std::lock_guard lock(m_mutex);
                incoming.swap(m_incoming);
                for (auto& [easy, transfer] : m_active) {
                    if (!transfer->done) {
                        cancelled.push_back(easy);
                    }
                }
                for (CURL* easy : cancelled) {
                    curl_multi_remove_handle(m_multi, easy);
                    m_active.erase(easy);
                }
                for (auto& transfer : incoming) {
                    start(*transfer);
                    CURL* easy = transfer->easy;
                    m_active.emplace(easy, std::move(transfer));
                }
            }
            int running = 0;
            curl_multi_perform(m_multi, &running);
            int queued = 0;
            while (CURLMsg* message = curl_multi_info_read(m_multi, &queued)) {
                if (message->msg == CURLMSG_DONE) {
                    finish(message->easy_handle, message->data.result);
                }
            }
            curl_multi_poll(m_multi, nullptr, 0, 1000, nullptr);
        }
    }

    CURLM* m_multi = nullptr;
    std::mutex m_mutex;
    std::vector<std::unique_ptr<Transfer>> m_incoming;   // guarded by m_mutex
    std::map<CURL*, std::unique_ptr<Transfer>> m_active; // guarded by m_mutex
    std::atomic<bool> m_stopping = false;
    std::thread m_thread;
};

} // namespace

std::optional<UrlOrigin> urlOrigin(const std::string& text) {
    const CurlUrl url(curl_url());
    if (!url || curl_url_set(url.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK) {
        return std::nullopt;
    }
    std::optional<std::string> scheme = urlPart(url.get(), CURLUPART_SCHEME);
    std::optional<std::string> host = urlPart(url.get(), CURLUPART_HOST);
    if (!scheme || !host) {
        return std::nullopt;
    }
    return UrlOrigin{std::move(*scheme), std::move(*host)};
}

bool isLoopbackHost(std::string_view host) {
    return std::find(allowedHosts.begin(), allowedHosts.end(), host) != allowedHosts.end();
}

std::optional<std::string> localEndpoint(const std::string& serverURL, std::string_view component) {
    const CurlUrl url(curl_url());
    if (!url || curl_url_set(url.get(), CURLUPART_URL, serverURL.c_str(), 0) != CURLUE_OK) {
        return std::nullopt;
    }
    const std::optional<std::string> host = urlPart(url.get(), CURLUPART_HOST);
    if (!host || !isLoopbackHost(*host)) {
        return std::nullopt;
    }
    std::string path = urlPart(url.get(), CURLUPART_PATH).value_or("/");
    if (path.empty() || path.back() != '/') {
        path += '/';
    }
    path += component;
    if (curl_url_set(url.get(), CURLUPART_PATH, path.c_str(), 0) != CURLUE_OK) {
        return std::nullopt;
    }
    return urlPart(url.get(), CURLUPART_URL);
}

std::optional<std::string> generateEndpoint(const std::string& serverURL) {
    return localEndpoint(serverURL, "api/generate");
}

std::optional<std::vector<std::string>> modelNamesReply(const std::string& body) {
    try {
        const nlohmann::json reply = nlohmann::json::parse(body);
        std::vector<std::string> names;
        for (const nlohmann::json& model : reply.at("models")) {
            names.push_back(model.at("name").get<std::string>());
        }
        return names;
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

std::optional<std::vector<std::string>> installedModels(const std::string& serverURL,
                                                        std::chrono::milliseconds timeout) {
    const std::optional<std::string> endpoint = localEndpoint(serverURL, "api/tags");
    if (!endpoint) {
        return std::nullopt;
    }
    HttpTransport::shared(); // initialises libcurl once for the process
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> easy(curl_easy_init(), &curl_easy_cleanup);
    std::string body;
    configureDirect(easy.get(), *endpoint, timeout);
    curl_easy_setopt(
        easy.get(), CURLOPT_WRITEFUNCTION,
        +[](char* data, std::size_t size, std::size_t count, void* user) -> std::size_t {
            auto* out = static_cast<std::string*>(user);
            if (out->size() + size * count > maxReplyBytes) {
                return 0;
            }
            out->append(data, size * count);
            return size * count;
        });
    curl_easy_setopt(easy.get(), CURLOPT_WRITEDATA, &body);
    long status = 0;
    if (curl_easy_perform(easy.get()) != CURLE_OK ||
        curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || status != 200) {
        return std::nullopt;
    }
    return modelNamesReply(body);
}

bool serverAnswers(const std::string& serverURL, std::chrono::milliseconds timeout) {
    if (!generateEndpoint(serverURL)) {
        return false;
    }
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> easy(curl_easy_init(), &curl_easy_cleanup);
    if (!easy) {
        return false;
    }
    configureDirect(easy.get(), serverURL, timeout);
    curl_easy_setopt(easy.get(), CURLOPT_NOBODY, 1L);
    long status = 0;
    return curl_easy_perform(easy.get()) == CURLE_OK &&
           curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status > 0;
}

std::variant<std::string, JsonError> generateBody(const CompletionRequest& request,
                                                  const std::string& model) {
    // maxWords is an int, so the sum cannot overflow in 64 bits.
    const std::int64_t numPredict = std::int64_t{request.plan.maxWords} * 2 + 4;
    const nlohmann::json body = {
        {"model", model},
        {"prompt", request.text},
        {"raw", true},
        {"stream", false},
        {"keep_alive", "30m"},
        {"options", {{"num_predict", numPredict}, {"temperature", 0}, {"stop", {"\n"}}}},
    };
    try {
        return body.dump();
    } catch (const nlohmann::json::exception& e) {
        return JsonError{e.what()};
    }
}

CompletionResult generateReply(const std::string& body) {
    nlohmann::json reply;
    try {
        reply = nlohmann::json::parse(body);
    } catch (const nlohmann::json::exception& e) {
        return CompletionResult::failure(JsonError{e.what()});
    }
    if (!reply.is_object()) {
        return CompletionResult::failure(CompletionError::badResponse());
    }
    const auto response = reply.find("response");
    if (response == reply.end() || !response->is_string()) {
        return CompletionResult::failure(CompletionError::badResponse());
    }
    return CompletionResult::answer(response->get<std::string>());
}

LocalHttpProvider::LocalHttpProvider(MainLoop& loop, std::chrono::milliseconds timeout)
    : m_loop(loop)
    , m_timeout(timeout) {}

LocalHttpProvider::~LocalHttpProvider() {
    HttpTransport::shared().cancelAll(this);
}

void LocalHttpProvider::generate(const CompletionRequest& request, const std::string& serverURL,
                                 const std::string& model, CompletionCallback done) {
    // A result already on its way to the main loop when the provider goes is dropped there.
    auto deliver = [&loop = m_loop,
                    done = m_lifetime.guard(std::move(done))](CompletionResult result) mutable {
        loop.post(
            [done = std::move(done), result = std::move(result)]() mutable { done(std::move(result)); });
    };
    const std::optional<std::string> endpoint = generateEndpoint(serverURL);
    if (!endpoint) {
        deliver(CompletionResult::failure(CompletionError::notLocal()));
        return;
    }
    auto body = generateBody(request, model);
    if (auto* error = std::get_if<JsonError>(&body)) {
        deliver(CompletionResult::failure(std::move(*error)));
        return;
    }
    HttpTransport::shared().post(this, *endpoint, std::get<std::string>(std::move(body)), m_timeout,
                                 [deliver = std::move(deliver)](HttpReply reply) mutable {
                                     if (reply.code != CURLE_OK) {
                                         deliver(CompletionResult::failure(
                                             TransportError{reply.message, static_cast<int>(reply.code)}));
                                     } else if (reply.status < 200 || reply.status > 299) {
                                         deliver(CompletionResult::failure(HttpStatusError{reply.status}));
                                     } else {
                                         deliver(generateReply(reply.body));
                                     }
                                 });
}

} // namespace wisket
