#include "completion/loopback_http_server.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace wisket::testing {

namespace {

sockaddr_in loopbackAddress(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

int boundPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

std::string lowercase(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

bool sendAll(int fd, const std::string& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

LoopbackHttpServer::LoopbackHttpServer() {
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopbackAddress(0);
    if (m_listener < 0 ||
        ::bind(m_listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_listener, 16) != 0 || ::pipe2(m_stopPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("cannot listen on the loopback address");
    }
    m_port = boundPort(m_listener);
    m_acceptor = std::thread([this] { acceptLoop(); });
}

LoopbackHttpServer::~LoopbackHttpServer() {
    ::close(m_stopPipe[1]); // every poll below sees the hang-up and returns
    m_acceptor.join();
    std::vector<std::thread> workers;
    {
        const std::lock_guard lock(m_mutex);
        workers.swap(m_workers);
    }
    for (auto& worker : workers) {
        worker.join();
    }
    ::close(m_listener);
    ::close(m_stopPipe[0]);
}

std::string LoopbackHttpServer::url() const {
    return "http://127.0.0.1:" + std::to_string(m_port);
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
    return m_connections;
}

// True when `fd` has data (or was closed by the peer); false once the server stops.
bool LoopbackHttpServer::waitReadable(int fd) const {
    pollfd fds[2] = {{fd, POLLIN, 0}, {m_stopPipe[0], POLLIN, 0}};
    while (::poll(fds, 2, -1) < 0) {
    }
    return fds[1].revents == 0;
}

void LoopbackHttpServer::acceptLoop() {
    while (waitReadable(m_listener)) {
        const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        const std::lock_guard lock(m_mutex);
        ++m_connections;
        m_workers.emplace_back([this, fd] {
            serve(fd);
            ::close(fd);
        });
    }
}

void LoopbackHttpServer::serve(int fd) {
    std::string buffer;
    auto readMore = [&] {
        char chunk[4096];
        if (!waitReadable(fd)) {
            return false;
        }
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) {
            return false;
        }
        buffer.append(chunk, static_cast<std::size_t>(n));
        return true;
    };
    while (true) {
        std::size_t headerEnd;
        while ((headerEnd = buffer.find("\r\n\r\n")) == std::string::npos) {
            if (!readMore()) {
                return;
            }
        }
        Request request;
        std::istringstream head(buffer.substr(0, headerEnd + 2));
        std::string line;
        head >> request.method >> request.target;
        std::getline(head, line);
        while (std::getline(head, line)) {
            line.pop_back(); // the carriage return
            const std::size_t colon = line.find(':');
            const std::size_t value = line.find_first_not_of(' ', colon + 1);
            if (colon != std::string::npos) {
                request.headers[lowercase(line.substr(0, colon))] = line.substr(std::min(value, line.size()));
            }
        }
        const auto length = request.headers.find("content-length");
        const std::size_t bodyLength = length == request.headers.end() ? 0 : std::stoul(length->second);
        while (buffer.size() < headerEnd + 4 + bodyLength) {
            if (!readMore()) {
                return;
            }
        }
        request.body = buffer.substr(headerEnd + 4, bodyLength);
        buffer.erase(0, headerEnd + 4 + bodyLength);

        Reply reply;
        {
            const std::lock_guard lock(m_mutex);
            m_requests.push_back(request);
            reply = m_reply;
            m_reply.dropAfter.reset();
        }
        if (reply.silent) {
            while (readMore()) {
            }
            return;
        }
        std::string extraHeaders = reply.location.empty() ? "" : "\r\nLocation: " + reply.location;
        const auto range = request.headers.find("range");
        if (reply.status == 200 && range != request.headers.end() && range->second.starts_with("bytes=")) {
            const std::size_t from = std::stoul(range->second.substr(6));
            if (from < reply.body.size()) {
                extraHeaders += "\r\nContent-Range: bytes " + std::to_string(from) + "-" +
                                std::to_string(reply.body.size() - 1) + "/" +
                                std::to_string(reply.body.size());
                reply.status = 206;
                reply.body.erase(0, from);
            }
        }
        const std::string replyHead = "HTTP/1.1 " + std::to_string(reply.status) +
                                      " Status\r\nContent-Type: " + reply.contentType + extraHeaders +
                                      "\r\nContent-Length: " + std::to_string(reply.body.size()) + "\r\n\r\n";
        if (reply.dropAfter) {
            sendAll(fd, replyHead + reply.body.substr(0, *reply.dropAfter));
            return;
        }
        if (!sendAll(fd, replyHead + reply.body)) {
            return;
        }
    }
}

int unusedLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopbackAddress(0);
    ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int port = boundPort(fd);
    ::close(fd);
    return port;
}

} // namespace wisket::testing
