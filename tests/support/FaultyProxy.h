#pragma once
// A point server that fails on demand: an HTTP proxy on a free port of 127.0.0.1 in front of the real
// server. In Forward mode it passes replies on whole; in Cut mode it announces the whole reply, sends
// half of it and closes the connection (a server dying mid-transfer); in Stall mode it accepts the
// request and never answers. Point requests ("getRange") only; everything else is forwarded.
#include "support/Http.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>

class FaultyProxy {
public:
    enum class Mode { Forward, Cut, Stall };

    explicit FaultyProxy(std::string upstreamBase) : upstream_(std::move(upstreamBase)) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(listener_, 16) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            throw std::runtime_error("proxy: cannot listen");
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~FaultyProxy() {
        stopping_ = true;
        thread_.join();
        ::close(listener_);
    }
    FaultyProxy(const FaultyProxy&) = delete;
    FaultyProxy& operator=(const FaultyProxy&) = delete;

    // The next `count` point requests are answered in `mode`, then replies are whole again.
    void fail(Mode mode, int count) {
        mode_ = mode;
        remaining_ = count;
    }
    std::string base() const { return "http://127.0.0.1:" + std::to_string(port_) + "/Varnel/resources/Server/"; }
    int failed() const { return failed_; }
    int forwarded() const { return forwarded_; }

private:
    void serve() {
        while (!stopping_) {
            pollfd p{listener_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const int c = ::accept(listener_, nullptr, nullptr);
            if (c < 0)
                continue;
            answer(c);
            ::close(c);
        }
    }

    void answer(int c) {
        std::string request;
        char buf[4096];
        while (request.find("\r\n\r\n") == std::string::npos) {
            pollfd p{c, POLLIN, 0};
            if (::poll(&p, 1, 2000) <= 0)
                return;
            const ssize_t n = ::recv(c, buf, sizeof buf, 0);
            if (n <= 0)
                return;
            request.append(buf, size_t(n));
        }
        const size_t start = request.find(' ') + 1;
        const std::string path = request.substr(start, request.find(' ', start) - start);
        const std::string tail = path.substr(std::string("/Varnel/resources/Server/").size());
        Mode mode = Mode::Forward;
        if (path.find("getRange") != std::string::npos && remaining_ > 0) {
            --remaining_;
            mode = mode_;
            ++failed_;
        }
        if (mode == Mode::Stall) {
            // Hold the connection until the client gives up or the proxy ends.
            while (!stopping_) {
                pollfd p{c, POLLIN, 0};
                if (::poll(&p, 1, 50) > 0 && ::recv(c, buf, sizeof buf, 0) <= 0)
                    return;
            }
            return;
        }
        const HttpReply reply = client_.get(upstream_ + tail);
        size_t send = reply.body.size();
        if (mode == Mode::Cut)
            send /= 2;
        else
            ++forwarded_;
        const std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " X\r\nContent-Length: " +
                                 std::to_string(reply.body.size()) + "\r\nConnection: close\r\n\r\n";
        sendAll(c, head.data(), head.size());
        sendAll(c, reply.body.data(), send);
    }

    static void sendAll(int c, const char* data, size_t n) {
        while (n > 0) {
            const ssize_t k = ::send(c, data, n, MSG_NOSIGNAL);
            if (k <= 0)
                return;
            data += k;
            n -= size_t(k);
        }
    }

    std::string upstream_;
    HttpClient client_;
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<Mode> mode_{Mode::Forward};
    std::atomic<int> remaining_{0};
    std::atomic<int> failed_{0}, forwarded_{0};
};
