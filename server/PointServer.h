#pragma once
// The HTTP side of the point server: the protocol of ServerProtocol.h served by a few threads over
// non-blocking sockets, replies streamed piece by piece with their Content-Length, one access-log line
// per request. No client holds a thread: idle, slow and busy connections only hold their socket, every
// phase of a connection has a deadline, and large replies go out a piece at a time in turn with the rest.
#include "DatasetStore.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

// A request line and its header fields together may not exceed this; past it the request is refused
// (414 while the request line is still unfinished, 431 otherwise) without reading further.
inline constexpr size_t kMaxRequestHeadBytes = 16 << 10;
// The longest request target served (414 beyond).
inline constexpr size_t kMaxRequestTargetBytes = 8 << 10;
// A GET request body (pointless, but legal) is read and dropped up to this size; larger ones get 413.
inline constexpr size_t kMaxRequestBodyBytes = 64 << 10;
// Replies this long or longer (a whole level, a large batch of tiles) go out from threads kept for them,
// half of all, so that short requests never queue behind their pieces.
inline constexpr uint64_t kLongReplyBytes = 4 << 20;

struct PointServerOptions {
    using Duration = std::chrono::milliseconds;
    int threads = 0;                     // threads serving all connections; 0: 4 per core, 8 to 64
    int maxConnections = 1024;           // open at once (capped by the descriptor limit); beyond it, idle
                                         // keep-alive connections are closed to make room, else 503
    int maxRequestsPerConnection = 1000; // the last reply says Connection: close
    Duration idleTimeout{5000};          // a kept-alive (or new) connection waits this long for a request
    Duration requestTimeout{5000};       // from a request's first byte to its last (line, fields, body)
    Duration sendTimeout{30000};         // each piece of a reply (at most 256 KiB) must leave within this
    Duration stopGrace{250};             // replies in progress when stop() comes get this long to end
    std::function<void(const std::string&)> log; // receives each access-log line (without newline)
};

class PointServer {
public:
    PointServer(std::shared_ptr<const DatasetStore> store, PointServerOptions options = {});
    ~PointServer();
    PointServer(const PointServer&) = delete;
    PointServer& operator=(const PointServer&) = delete;

    // Binds host:port (port 0 picks a free one) and returns the port; throws std::runtime_error.
    int bind(const std::string& host, int port);
    // Serves until stop(); returns false if serving could not start.
    bool run();
    // Safe from any thread, before or during run(); run() returns within stopGrace and a little more.
    void stop();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};
