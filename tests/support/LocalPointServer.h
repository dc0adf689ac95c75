#pragma once
// The real point server on a free port of 127.0.0.1, run on its own thread, its access log kept.
#include "DatasetStore.h"
#include "PointServer.h"
#include "PointServerAddress.h"

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class LocalPointServer {
public:
    // Port 0 takes a free one.
    explicit LocalPointServer(const std::string& dataDir, int threads = 0, int port = 0)
        : LocalPointServer(dataDir, withThreads(threads), port) {}
    // With every serving option given (limits, deadlines); the log is the server's own.
    LocalPointServer(const std::string& dataDir, PointServerOptions o, int port = 0) {
        o.log = [this](const std::string& line) {
            std::lock_guard lock(mutex_);
            log_.push_back(line);
        };
        server_ =
            std::make_unique<PointServer>(std::make_shared<DatasetStore>(DatasetStore::load(dataDir)), o);
        port_ = server_->bind("127.0.0.1", port);
        thread_ = std::thread([this] { server_->run(); });
    }
    ~LocalPointServer() { stop(); }
    static PointServerOptions withThreads(int threads) {
        PointServerOptions o;
        o.threads = threads;
        return o;
    }
    LocalPointServer(const LocalPointServer&) = delete;
    LocalPointServer& operator=(const LocalPointServer&) = delete;

    // Stops serving: later requests find nobody listening.
    void stop() {
        if (!thread_.joinable())
            return;
        server_->stop();
        thread_.join();
    }
    int port() const { return port_; }
    std::string base() const {
        return "http://127.0.0.1:" + std::to_string(port_) + std::string(kServerBasePath);
    }
    std::vector<std::string> log() {
        std::lock_guard lock(mutex_);
        return log_;
    }

private:
    std::unique_ptr<PointServer> server_;
    int port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::string> log_;
};
