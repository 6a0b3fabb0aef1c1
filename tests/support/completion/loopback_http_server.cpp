#include "completion/loopback_http_server.hpp"

#include "text/unicode.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <tuple>
#include <unistd.h>

namespace wisket::testing {

namespace {

// A socket bound to an ephemeral loopback port, and that port.
std::pair<int, int> boundLoopbackSocket() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{
        .sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("cannot bind a loopback port");
    }
    return {fd, ntohs(address.sin_port)};
}

} // namespace

LoopbackHttpServer::LoopbackHttpServer() {
    std::tie(m_listener, m_port) = boundLoopbackSocket();
    if (::listen(m_listener, 16) != 0) {
        throw std::runtime_error("cannot listen on the loopback address");
    }
    m_acceptor = std::thread([this] {
        // Ends when the destructor shuts the listener down.
        for (int fd; (fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
            const std::lock_guard lock(m_mutex);
            m_connections.push_back(fd);
            m_workers.emplace_back([this, fd] {
                serve(fd);
                ::shutdown(fd, SHUT_RDWR); // the client sees the connection end
            });
        }
    });
}

LoopbackHttpServer::~LoopbackHttpServer() {
    ::shutdown(m_listener, SHUT_RDWR);
    m_acceptor.join();
    for (const int fd : m_connections) {
        ::shutdown(fd, SHUT_RDWR); // a worker waiting in recv sees the end of the stream
    }
    for (auto& worker : m_workers) {
        worker.join();
    }
    for (const int fd : m_connections) {
        ::close(fd);
    }
    ::close(m_listener);
}

void LoopbackHttpServer::setReply(Reply reply) {
    const std::lock_guard lock(m_mutex);
    m_reply = std::move(reply);
}

std::vector<LoopbackHttpServer::Request> LoopbackHttpServer::requests() const {
    const std::lock_guard lock(m_mutex);
    return m_requests;
}

int LoopbackHttpServer::connections() const {
    const std::lock_guard lock(m_mutex);
    return static_cast<int>(m_connections.size());
}

void LoopbackHttpServer::serve(int fd) {
    std::string buffer;
    // Reads into `buffer` until it is enough; false when the connection ended first.
    auto readUntil = [&](auto enough) {
        char chunk[4096];
        while (!enough()) {
            const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) {
                return false;
            }
            buffer.append(chunk, static_cast<std::size_t>(n));
        }
        return true;
    };
    while (readUntil([&] { return buffer.find("\r\n\r\n") != std::string::npos; })) {
        const std::size_t headEnd = buffer.find("\r\n\r\n") + 4;
        Request request;
        std::istringstream head(buffer.substr(0, headEnd - 2));
        std::string line;
        head >> request.method >> request.target;
        std::getline(head, line);
        while (std::getline(head, line) && line.find(':') != std::string::npos) {
            const std::string name = toLower(line.substr(0, line.find(':')));
            const std::size_t value = line.find_first_not_of(' ', name.size() + 1);
            request.headers[name] = line.substr(value, line.size() - 1 - value); // without the '\r'
        }
        const std::size_t length =
            request.headers.contains("content-length") ? std::stoul(request.headers["content-length"]) : 0;
        if (!readUntil([&] { return buffer.size() >= headEnd + length; })) {
            return;
        }
        request.body = buffer.substr(headEnd, length);
        buffer.erase(0, headEnd + length);

        Reply reply;
        {
            const std::lock_guard lock(m_mutex);
            m_requests.push_back(request);
            reply = m_reply;
            m_reply.dropAfter.reset();
        }
        if (reply.silent) {
            readUntil([] { return false; });
            return;
        }
        const std::string headers = reply.location.empty() ? "" : "Location: " + reply.location + "\r\n";
        const std::string range = request.headers["range"];
        const std::size_t from = range.starts_with("bytes=") ? std::stoul(range.substr(6)) : 0;
        if (reply.status == 200 && from > 0 && from < reply.body.size()) {
            reply.status = 206;
            reply.body.erase(0, from);
        }
        std::string response =
            "HTTP/1.1 " + std::to_string(reply.status) + " Status\r\n" + headers +
            "Content-Type: application/json\r\nContent-Length: " + std::to_string(reply.body.size()) +
            "\r\n\r\n" + reply.body;
        if (reply.dropAfter) {
            response.resize(response.size() - reply.body.size() + *reply.dropAfter);
        }
        // A blocking send returns once all is sent, or fails when the client hung up.
        const auto sent = ::send(fd, response.data(), response.size(), MSG_NOSIGNAL);
        if (sent != static_cast<ssize_t>(response.size()) || reply.dropAfter) {
            return;
        }
    }
}

int unusedLoopbackPort() {
    const auto [fd, port] = boundLoopbackSocket();
    ::close(fd);
    return port;
}

} // namespace wisket::testing
