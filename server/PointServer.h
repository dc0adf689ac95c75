#pragma once
// The HTTP side of the point server: the protocol of ServerProtocol.h over cpp-httplib, replies streamed
// piece by piece with their Content-Length, and one access-log line per request.
#include "DatasetStore.h"

#include <functional>
#include <memory>
#include <string>

struct PointServerOptions {
    int threads = 0;                                 // worker threads (one per open connection); 0: default
    std::function<void(const std::string&)> log;     // receives each access-log line (without newline)
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
    // Safe from any thread, before or during run().
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
