// cpp-httplib stays inside this file. Replies are streamed from RangeReader pieces (views into the mapped
// files where possible); a client that goes away ends its reply at the next write.
#include "PointServer.h"

#include "ServerProtocol.h"

#include <httplib.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <thread>

namespace {
thread_local std::chrono::steady_clock::time_point requestStart;
}

struct PointServer::Impl {
    std::shared_ptr<const DatasetStore> store;
    PointServerOptions options;
    httplib::Server http;
    bool bound = false;
    int listenFd = -1;
    std::atomic<bool> running{false}, stopping{false};
};

PointServer::PointServer(std::shared_ptr<const DatasetStore> store, PointServerOptions options)
    : impl_(std::make_unique<Impl>()) {
    impl_->store = std::move(store);
    impl_->options = std::move(options);
    httplib::Server& http = impl_->http;
    const int threads = impl_->options.threads > 0
                            ? impl_->options.threads
                            : int(std::max(32u, 4 * std::max(1u, std::thread::hardware_concurrency())));
    http.new_task_queue = [threads] { return new httplib::ThreadPool(size_t(threads)); };
    // A stalled or silent client holds a worker for seconds, never for ever. Each open connection holds a
    // worker (hence the generous default count), and stopping waits for idle ones to time out: keep-alive
    // is short enough for a prompt stop and long enough for a viewer's back-to-back tile requests.
    http.set_read_timeout(10);
    http.set_write_timeout(30);
    http.set_keep_alive_timeout(2);
    // The library's default of 5 requests per connection makes a streaming viewer reconnect all the time,
    // and reconnecting clients overflow its short listen backlog (a dropped SYN costs a second).
    http.set_keep_alive_max_count(100000);
    http.set_payload_max_length(64 << 10);
    http.set_tcp_nodelay(true);
    // The library listens with a backlog of 5: a burst of new connections (a few viewers starting, or one
    // reconnecting its workers) would lose SYNs and wait a second each. The listening socket is noted here
    // and its backlog raised once bound.
    http.set_socket_options([impl = impl_.get()](int fd) {
        int yes = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        impl->listenFd = fd;
    });

    // Every request is answered here, before the library's routing: its routes are std::regex matches,
    // which cost more than a whole small reply.
    const DatasetStore* storePtr = impl_->store.get();
    http.set_pre_routing_handler([storePtr](const httplib::Request& req, httplib::Response& res) {
        requestStart = std::chrono::steady_clock::now();
        if (req.method != "GET") {
            res.status = 405;
            res.set_header("Allow", "GET");
            res.set_content("only GET requests are served\n", "text/plain");
            return httplib::Server::HandlerResponse::Handled;
        }
        Reply reply = answerRequest(*storePtr, req.target);
        res.status = reply.status;
        // An empty reply goes without a provider: the library would take a zero length as "unknown".
        if (!reply.records || reply.length() == 0) {
            res.set_content(std::move(reply.body), reply.contentType);
            return httplib::Server::HandlerResponse::Handled;
        }
        const uint64_t length = reply.length();
        std::shared_ptr<RangeReader> reader(std::move(reply.records));
        res.set_content_provider(size_t(length), reply.contentType,
                                 [reader](size_t, size_t, httplib::DataSink& sink) {
                                     auto piece = reader->next();
                                     if (piece.empty())
                                         return false; // fewer bytes than announced cannot happen
                                     return sink.write(reinterpret_cast<const char*>(piece.data()), piece.size());
                                 });
        return httplib::Server::HandlerResponse::Handled;
    });
    auto log = impl_->options.log;
    if (log) {
        http.set_logger([log](const httplib::Request& req, const httplib::Response& res) {
            const double ms =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - requestStart).count();
            std::string bytes = res.get_header_value("Content-Length");
            char line[160];
            std::snprintf(line, sizeof line, "\" %d %s %.3fms", res.status, bytes.empty() ? "0" : bytes.c_str(),
                          ms);
            std::string target = req.target.size() > 2000 ? req.target.substr(0, 2000) + "..." : req.target;
            for (char& c : target)
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f || c == '"')
                    c = '?';
            log(req.remote_addr + " \"" + req.method + " " + target + line);
        });
    }
}

PointServer::~PointServer() {
    stop();
}

int PointServer::bind(const std::string& host, int port) {
    int bound = port == 0 ? impl_->http.bind_to_any_port(host) : (impl_->http.bind_to_port(host, port) ? port : -1);
    if (bound <= 0)
        throw std::runtime_error("cannot listen on " + host + ":" + std::to_string(port));
    if (impl_->listenFd >= 0)
        ::listen(impl_->listenFd, SOMAXCONN);
    impl_->bound = true;
    return bound;
}

bool PointServer::run() {
    impl_->running = true;
    const bool ok = impl_->bound && !impl_->stopping && impl_->http.listen_after_bind();
    impl_->running = false;
    return ok || impl_->stopping;
}

void PointServer::stop() {
    impl_->stopping = true;
    // A stop that comes while run() is still starting waits for the listener, which it can then end.
    for (int i = 0; i < 5000 && impl_->running && !impl_->http.is_running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    impl_->http.stop();
}
