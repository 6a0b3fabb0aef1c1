#pragma once

// A real HTTP/1.1 server on 127.0.0.1 and an ephemeral port, for the model server
// provider's tests: it records every request it receives and answers with a scripted
// reply (or never answers). Connections are kept alive, as a real server's are. A request
// for "Range: bytes=N-" of a 200 reply gets the rest of its body as 206, which is all a
// resuming download looks at.

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace wisket::testing {

class LoopbackHttpServer {
public:
    struct Request {
        std::string method;
        std::string target;                         // path and query, as sent
        std::map<std::string, std::string> headers; // names lowercased
        std::string body{};
    };

    struct Reply {
        int status = 200;
        std::string body{};
        bool silent = false;    // read the request, then never answer
        std::string location{}; // sent as a Location header when not empty
        // Close the connection after this many bytes of the body, once; later requests get
        // the whole reply.
        std::optional<std::size_t> dropAfter{};
    };

    LoopbackHttpServer();
    ~LoopbackHttpServer();
    LoopbackHttpServer(const LoopbackHttpServer&) = delete;
    LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

    int port() const { return m_port; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(m_port); }

    // The reply to every request from now on.
    void setReply(Reply reply);
    std::vector<Request> requests() const;
    int connections() const;

private:
    void serve(int fd);

    int m_listener = -1;
    int m_port = 0;
    mutable std::mutex m_mutex;
    Reply m_reply;
    std::vector<Request> m_requests;
    // Every accepted connection stays open until the server stops, which shuts them all
    // down to end their workers.
    std::vector<int> m_connections;
    std::vector<std::thread> m_workers;
    std::thread m_acceptor;
};

// A loopback port on which nothing listens (bound once, then released).
int unusedLoopbackPort();

} // namespace wisket::testing
