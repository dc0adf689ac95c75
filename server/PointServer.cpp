// The serving core on Boost.Asio with Boost.Beast's HTTP parser and serializer; both stay inside this
// file. Each serving thread runs an io_context of its own, and new connections go to them in turn: a
// connection is only ever touched by its thread, and no completion wakes another thread (with one shared
// io_context, handing completions between threads cost more than small replies). A connection is a small
// state machine: idle (waiting for the first byte of a request), reading (the rest of it), writing (the
// reply, a piece per step), closing (draining what the client still sends after a refusal). Each phase has
// its deadline on the stream, so no client can keep a connection, let alone a thread, beyond it.
#include "PointServer.h"

#include "ServerProtocol.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <iostream>
#include <list>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

class Connection;

// After a refusal the client may still be sending (a huge request line): what it sends is read and
// dropped for a moment, so that the refusal reaches it instead of being lost to a reset.
constexpr auto kLingerTime = std::chrono::milliseconds(500);
constexpr size_t kLingerBytes = 1 << 20;
// Refusals of excess connections in progress at once; beyond this they are closed without a word.
constexpr int kMaxRefusing = 64;

} // namespace

struct PointServer::Impl {
    std::shared_ptr<const DatasetStore> store;
    PointServerOptions options;
    size_t maxConnections = 0;

    // Declared before the io_context: handlers it destroys may end connections, which unregister here.
    std::mutex lock;
    std::list<Connection*> open; // oldest first
    std::atomic<int> refusing{0};
    std::atomic<bool> stopping{false}, running{false};
    bool bound = false;

    // One per serving thread; the first also accepts and runs the stop.
    std::vector<std::unique_ptr<net::io_context>> contexts;
    std::vector<net::executor_work_guard<net::io_context::executor_type>> keepRunning;
    // New connections go to the first shortContexts; long replies are sent from the others.
    size_t shortContexts = 0;
    std::atomic<size_t> nextShort{0}, nextBulk{0};
    tcp::acceptor acceptor;
    net::steady_timer retry, grace;

    explicit Impl(int threads)
        : contexts(makeContexts(threads)), acceptor(home()), retry(home()), grace(home()) {
        shortContexts = contexts.size() < 2 ? contexts.size() : (contexts.size() + 1) / 2;
        for (auto& c : contexts)
            keepRunning.push_back(net::make_work_guard(*c));
    }
    static std::vector<std::unique_ptr<net::io_context>> makeContexts(int threads) {
        std::vector<std::unique_ptr<net::io_context>> c;
        for (int i = 0; i < threads; ++i)
            c.push_back(std::make_unique<net::io_context>(1));
        return c;
    }
    net::io_context::executor_type home() { return contexts[0]->get_executor(); }
    net::io_context& shortContext() { return *contexts[nextShort++ % shortContexts]; }
    net::io_context* bulkContext() {
        const size_t bulk = contexts.size() - shortContexts;
        return bulk == 0 ? nullptr : contexts[shortContexts + nextBulk++ % bulk].get();
    }

    void accept();
    void admit(tcp::socket socket, net::io_context& context);
    bool closeOneIdle();
    void beginStop();
    void endStop();
    void log(const std::string& line) const {
        if (options.log)
            options.log(line);
    }
};

namespace {

std::string clean(std::string_view target) {
    std::string t = target.size() > 2000 ? std::string(target.substr(0, 2000)) + "..." : std::string(target);
    for (char& c : t)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f || c == '"')
            c = '?';
    return t;
}

std::string headerBytes(http::response<http::empty_body>& res) {
    http::response_serializer<http::empty_body> sr{res};
    sr.split(true);
    std::string out;
    beast::error_code ec;
    while (!ec && !sr.is_header_done())
        sr.next(ec, [&](beast::error_code&, const auto& buffers) {
            size_t n = 0;
            for (auto b : beast::buffers_range_ref(buffers)) {
                out.append(static_cast<const char*>(b.data()), b.size());
                n += b.size();
            }
            sr.consume(n);
        });
    return out;
}

class Connection : public std::enable_shared_from_this<Connection> {
public:
    enum class Phase { Idle, Reading, Writing, Closing }; // in this order

    Connection(PointServer::Impl& server, tcp::socket socket, net::io_context& context)
        : server_(server), context_(&context) {
        stream_.emplace(std::move(socket));
        beast::error_code ec;
        stream_->socket().set_option(tcp::no_delay(true), ec);
        const auto peer = stream_->socket().remote_endpoint(ec);
        remote_ = ec ? std::string("?") : peer.address().to_string();
        std::lock_guard lock(server_.lock);
        entry_ = server_.open.insert(server_.open.end(), this);
    }
    ~Connection() {
        if (refusal_)
            --server_.refusing;
        std::lock_guard lock(server_.lock);
        server_.open.erase(entry_);
        // The last connection gone ends a stop early: nothing is left to wait for. (A connection that
        // outlives the serving threads, its last step posted to one that had ended, goes with them.)
        if (server_.stopping && server_.running && server_.open.empty())
            net::post(server_.home(), [s = &server_] { s->grace.cancel(); });
    }

    Phase phase() const { return phase_; }

    void start() {
        net::post(executor(), [self = shared_from_this()] { self->awaitRequest(); });
    }

    // An excess connection: told so and closed.
    void refuse() {
        refusal_ = true;
        phase_ = Phase::Writing; // not one to close to make room
        net::post(executor(), [self = shared_from_this()] {
            self->started_ = Clock::now();
            self->sendError(http::status::service_unavailable, "too many connections, try again shortly",
                            {{http::field::retry_after, "1"}});
        });
    }

    // From any thread: ends the connection if it still is in a phase up to `upTo` (Idle: waiting for a
    // request with nothing received; Reading: not yet replying; Closing: whatever it does).
    void end(Phase upTo) {
        net::post(executor(), [self = shared_from_this(), upTo] { self->endHere(upTo); });
    }

private:
    using Fields = std::vector<std::pair<http::field, std::string>>;

    net::io_context::executor_type executor() const {
        std::lock_guard lock(moving_);
        return context_->get_executor();
    }

    void endHere(Phase upTo) {
        if (!executor().running_in_this_thread()) // it moved meanwhile
            return end(upTo);
        if (phase_ <= upTo || phase_ == Phase::Closing)
            close();
    }

    // Continues with `then` on the thread of `to`: the socket is taken off this thread's io_context (no
    // operation is pending between two steps) and handed to the other's.
    template <class Then> void moveTo(net::io_context& to, Then then) {
        beast::error_code ec;
        const auto protocol = stream_->socket().local_endpoint(ec).protocol();
        const auto fd = ec ? -1 : stream_->socket().release(ec);
        if (ec)
            return close();
        tcp::socket moved(to);
        moved.assign(protocol, fd, ec);
        if (ec) {
            ::close(fd);
            return close();
        }
        stream_.emplace(std::move(moved));
        {
            std::lock_guard lock(moving_);
            context_ = &to;
        }
        net::post(to.get_executor(), [self = shared_from_this(), then = std::move(then)] { then(*self); });
    }

    void close() {
        phase_ = Phase::Closing;
        beast::error_code ec;
        stream_->socket().shutdown(tcp::socket::shutdown_both, ec);
        stream_->close();
    }

    // Waits for the first byte of the next request, unless one is already buffered (pipelining).
    void awaitRequest() {
        if (server_.stopping)
            return close();
        if (buffer_.size() > 0)
            return readRequest();
        phase_ = Phase::Idle;
        stream_->expires_after(server_.options.idleTimeout);
        stream_->async_read_some(buffer_.prepare(std::min<size_t>(4096, buffer_.max_size())),
                                 [self = shared_from_this()](beast::error_code ec, size_t n) {
                                     self->buffer_.commit(n);
                                     if (ec || n == 0 || self->server_.stopping)
                                         return self->close();
                                     self->readRequest();
                                 });
    }

    void readRequest() {
        phase_ = Phase::Reading;
        parser_.emplace();
        parser_->header_limit(uint32_t(kMaxRequestHeadBytes));
        parser_->body_limit(uint64_t(kMaxRequestBodyBytes));
        stream_->expires_after(server_.options.requestTimeout);
        http::async_read(*stream_, buffer_, *parser_,
                         [self = shared_from_this()](beast::error_code ec, size_t) { self->onRequest(ec); });
    }

    void onRequest(beast::error_code ec) {
        if (server_.stopping)
            return close();
        started_ = Clock::now();
        if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
            // The parser takes the request line (target and all) only once it has ended.
            return parser_->get().target().empty()
                       ? sendError(http::status::uri_too_long, "request line too long")
                       : sendError(http::status::request_header_fields_too_large,
                                   "request header fields too large");
        }
        if (parser_->is_header_done()) { // named in the log line of a refusal
            method_ = std::string(parser_->get().method_string());
            target_ = std::string(parser_->get().target());
        }
        if (ec == http::error::body_limit)
            return sendError(http::status::payload_too_large, "request bodies are not served");
        if (ec && &ec.category() == &http::make_error_code(http::error::bad_method).category() &&
            ec != http::error::end_of_stream && ec != http::error::partial_message)
            return sendError(http::status::bad_request, "malformed request");
        if (ec)
            return close(); // gone, timed out, or ended before a whole request
        answer();
    }

    void answer() {
        const auto& req = parser_->get();
        method_ = std::string(req.method_string());
        target_ = std::string(req.target());
        version_ = req.version();
        keepAlive_ = req.keep_alive() && ++served_ < server_.options.maxRequestsPerConnection;
        if (req.method() != http::verb::get)
            return send(http::status::method_not_allowed, "text/plain", "only GET requests are served\n",
                        {{http::field::allow, "GET"}});
        if (target_.size() > kMaxRequestTargetBytes)
            return send(http::status::uri_too_long, "text/plain", "request line too long\n");

        Reply reply = answerRequest(*server_.store, target_);
        const uint64_t length = reply.length();
        if (reply.records && length == 0)
            reply.records.reset();
        Fields fields;
        uint64_t first = 0, count = length;
        http::status status = http::int_to_status(unsigned(reply.status));
        const auto range = req.find(http::field::range);
        if (reply.status == 200 && range != req.end() && req.find(http::field::if_range) == req.end()) {
            const ByteRange r = byteRange({range->value().data(), range->value().size()}, length);
            if (r.kind == ByteRange::Unsatisfiable)
                return send(http::status::range_not_satisfiable, "text/plain",
                            "range not satisfiable: the reply has " + std::to_string(length) + " bytes\n",
                            {{http::field::content_range, "bytes */" + std::to_string(length)}});
            if (r.kind == ByteRange::Partial) {
                status = http::status::partial_content;
                first = r.first;
                count = r.count;
                fields.push_back({http::field::content_range, "bytes " + std::to_string(first) + "-" +
                                                                  std::to_string(first + count - 1) + "/" +
                                                                  std::to_string(length)});
            }
        }
        if (!reply.records)
            return send(status, reply.contentType, reply.body.substr(size_t(first), size_t(count)), fields);
        records_ = std::move(reply.records);
        records_->skip(first);
        writeHead(status, reply.contentType, count, fields);
        left_ = count;
        // Long replies go out from threads of their own: short requests never queue behind their pieces,
        // and the system's scheduler favours the threads that serve short ones (they often wait).
        if (count >= kLongReplyBytes && !onBulk_) {
            if (net::io_context* bulk = server_.bulkContext()) {
                onBulk_ = true;
                return moveTo(*bulk, [](Connection& c) { c.sendPiece(true); });
            }
        }
        sendPiece(true);
    }

    void writeHead(http::status status, const std::string& contentType, uint64_t length,
                   const Fields& fields) {
        http::response<http::empty_body> res{status, version_};
        res.set(http::field::content_type, contentType);
        res.content_length(length);
        if (status == http::status::ok || status == http::status::partial_content)
            res.set(http::field::accept_ranges, "bytes");
        for (const auto& [f, v] : fields)
            res.set(f, v);
        res.keep_alive(keepAlive_ && !server_.stopping);
        head_ = headerBytes(res);
        status_ = unsigned(status);
        length_ = length;
    }

    // A whole reply held in memory: header and body in one write.
    void send(http::status status, const std::string& contentType, std::string body,
              const Fields& fields = {}) {
        writeHead(status, contentType, body.size(), fields);
        body_ = std::move(body);
        phase_ = Phase::Writing;
        stream_->expires_after(server_.options.sendTimeout);
        const std::array<net::const_buffer, 2> out{net::buffer(head_), net::buffer(body_)};
        net::async_write(*stream_, out,
                         [self = shared_from_this()](beast::error_code ec, size_t) { self->replied(ec); });
    }

    // A refusal: the connection ends after it, whatever the request said.
    void sendError(http::status status, const std::string& text, const Fields& fields = {}) {
        keepAlive_ = false;
        version_ = 11;
        send(status, "text/plain", text + "\n", fields);
    }

    // One piece of a point reply per step (the first behind the header), so that every connection with a
    // reply under way gets its turn between any two pieces of another.
    void sendPiece(bool first) {
        std::span<const unsigned char> piece;
        if (left_ > 0) {
            piece = records_->next();
            if (piece.empty())
                return close(); // fewer records than counted cannot happen: end rather than hang
            piece = piece.first(size_t(std::min<uint64_t>(piece.size(), left_)));
            left_ -= piece.size();
        }
        phase_ = Phase::Writing;
        stream_->expires_after(server_.options.sendTimeout);
        const std::array<net::const_buffer, 2> out{first ? net::buffer(head_) : net::const_buffer(),
                                                   net::buffer(piece.data(), piece.size())};
        net::async_write(*stream_, out, [self = shared_from_this()](beast::error_code ec, size_t) {
            if (ec || self->left_ == 0)
                return self->replied(ec);
            self->sendPiece(false);
        });
    }

    void replied(beast::error_code ec) {
        records_.reset();
        body_.clear();
        body_.shrink_to_fit();
        if (server_.options.log) {
            const double ms = std::chrono::duration<double, std::milli>(Clock::now() - started_).count();
            char tail[96];
            std::snprintf(tail, sizeof tail, "\" %u %llu %.3fms", status_, (unsigned long long)length_, ms);
            server_.log(remote_ + " \"" + method_ + " " + clean(target_) + tail);
        }
        method_.clear();
        target_.clear();
        if (ec || server_.stopping)
            return close();
        if (keepAlive_) {
            parser_.reset();
            if (onBulk_) {
                onBulk_ = false;
                return moveTo(server_.shortContext(), [](Connection& c) { c.awaitRequest(); });
            }
            return awaitRequest();
        }
        linger();
    }

    // Stops sending, then reads and drops what the client still sends for a moment: closing a socket with
    // unread input resets the connection, and the client could lose the reply before reading it.
    void linger() {
        phase_ = Phase::Closing;
        parser_.reset();
        beast::error_code ignored;
        stream_->socket().shutdown(tcp::socket::shutdown_send, ignored);
        buffer_.clear();
        stream_->expires_after(kLingerTime);
        drain();
    }
    void drain() {
        stream_->async_read_some(buffer_.prepare(std::min<size_t>(4096, buffer_.max_size())),
                                 [self = shared_from_this()](beast::error_code ec, size_t n) {
                                     self->drained_ += n;
                                     self->buffer_.clear();
                                     if (ec || self->drained_ > kLingerBytes || self->server_.stopping)
                                         return self->close();
                                     self->drain();
                                 });
    }

    PointServer::Impl& server_;
    std::optional<beast::tcp_stream> stream_; // replaced when the connection moves to another thread
    mutable std::mutex moving_;
    net::io_context* context_; // under moving_: the thread's io_context the connection is served on
    bool onBulk_ = false;
    beast::flat_buffer buffer_{kMaxRequestHeadBytes};
    std::optional<http::request_parser<http::string_body>> parser_;
    std::atomic<Phase> phase_{Phase::Idle};
    std::list<Connection*>::iterator entry_;
    std::string remote_;
    bool refusal_ = false;
    int served_ = 0;
    size_t drained_ = 0;
    // The request being answered.
    Clock::time_point started_;
    std::string method_, target_;
    unsigned version_ = 11;
    bool keepAlive_ = false;
    // Its reply.
    unsigned status_ = 0;
    uint64_t length_ = 0, left_ = 0;
    std::string head_, body_;
    std::unique_ptr<RangeReader> records_;
};

} // namespace

void PointServer::Impl::accept() {
    net::io_context& to = shortContext();
    acceptor.async_accept(to, [this, context = &to](beast::error_code ec, tcp::socket socket) {
        if (stopping || ec == net::error::operation_aborted)
            return;
        const bool starved = ec == net::error::no_descriptors || ec == net::error::no_buffer_space ||
                             ec == net::error::no_memory || ec.value() == ENFILE;
        if (starved) {
            // Out of descriptors or memory: the connection stays in the backlog; try again shortly rather
            // than spin.
            retry.expires_after(std::chrono::milliseconds(50));
            retry.async_wait([this](beast::error_code e) {
                if (!e && !stopping)
                    accept();
            });
            return;
        }
        if (!ec) // otherwise a client gone before it was taken
            admit(std::move(socket), *context);
        accept();
    });
}

void PointServer::Impl::admit(tcp::socket socket, net::io_context& context) {
    size_t count;
    {
        std::lock_guard guard(lock);
        count = open.size();
    }
    if (count < maxConnections || closeOneIdle()) {
        std::make_shared<Connection>(*this, std::move(socket), context)->start();
        return;
    }
    if (refusing >= kMaxRefusing)
        return; // the socket closes as it goes out of scope
    ++refusing;
    std::make_shared<Connection>(*this, std::move(socket), context)->refuse();
}

// The oldest connection that waits for a request with nothing received makes room for a new one.
bool PointServer::Impl::closeOneIdle() {
    std::shared_ptr<Connection> idle;
    {
        std::lock_guard guard(lock);
        for (Connection* c : open)
            if (c->phase() == Connection::Phase::Idle && (idle = c->weak_from_this().lock()))
                break;
    }
    if (idle)
        idle->end(Connection::Phase::Idle);
    return idle != nullptr;
}

// Every open connection (ended outside the lock: the last reference may go with them).
static std::vector<std::shared_ptr<Connection>> openConnections(PointServer::Impl& s) {
    std::vector<std::shared_ptr<Connection>> all;
    std::lock_guard guard(s.lock);
    for (Connection* c : s.open)
        if (auto alive = c->weak_from_this().lock())
            all.push_back(std::move(alive));
    return all;
}

// On the first thread: no new connections; those waiting for a request end now, replies under way get
// the grace time. Each thread returns once its connections are gone.
void PointServer::Impl::beginStop() {
    beast::error_code ignored;
    acceptor.close(ignored);
    retry.cancel();
    auto all = openConnections(*this);
    for (auto& c : all)
        c->end(Connection::Phase::Reading);
    keepRunning.clear();
    if (all.empty())
        return;
    grace.expires_after(options.stopGrace);
    grace.async_wait([this](beast::error_code) { endStop(); });
}

void PointServer::Impl::endStop() {
    for (auto& c : openConnections(*this))
        c->end(Connection::Phase::Closing);
}

namespace {
// More threads than cores: a thread that waits for a page of a mapped level to come from disk holds up only
// its share of the connections, and on a machine shared with other work the server keeps its share of the
// processors (measured on 2 cores: at 4 threads bulk replies ran at about half the rate of a server of 32
// threads, at 8 on a par).
int threadsFor(const PointServerOptions& o) {
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    return o.threads > 0 ? o.threads : int(std::clamp(4 * cores, 8u, 64u));
}
} // namespace

PointServer::PointServer(std::shared_ptr<const DatasetStore> store, PointServerOptions options)
    : impl_(std::make_unique<Impl>(threadsFor(options))) {
    impl_->store = std::move(store);
    impl_->options = std::move(options);
}

PointServer::~PointServer() {
    stop();
}

int PointServer::bind(const std::string& host, int port) {
    // Every connection is a descriptor: take what the system allows, and keep the connection cap below it
    // with room for the data set mappings and the process's own files.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = std::min<rlim_t>(files.rlim_max, 1 << 16);
        setrlimit(RLIMIT_NOFILE, &files);
        getrlimit(RLIMIT_NOFILE, &files);
    }
    const size_t wanted = size_t(std::max(1, impl_->options.maxConnections));
    impl_->maxConnections = files.rlim_cur > 128 ? std::min<size_t>(wanted, size_t(files.rlim_cur) - 64)
                                                 : std::min<size_t>(wanted, 16);

    const std::string where = host + ":" + std::to_string(port);
    try {
        tcp::resolver resolver(*impl_->contexts[0]);
        const auto found = resolver.resolve(host, std::to_string(port), tcp::resolver::passive);
        if (found.empty())
            throw std::runtime_error("no address");
        const tcp::endpoint at = found.begin()->endpoint();
        tcp::acceptor& a = impl_->acceptor;
        a.open(at.protocol());
        a.set_option(net::socket_base::reuse_address(true));
        a.bind(at);
        // A burst of new connections (viewers starting, a client reconnecting its workers) must not lose
        // SYNs to a short backlog: each lost one costs the client a second.
        a.listen(net::socket_base::max_listen_connections);
        impl_->bound = true;
        return a.local_endpoint().port();
    } catch (const std::exception& e) {
        beast::error_code ignored;
        impl_->acceptor.close(ignored);
        throw std::runtime_error("cannot listen on " + where + ": " + e.what());
    }
}

bool PointServer::run() {
    Impl& s = *impl_;
    if (!s.bound || s.stopping)
        return s.stopping;
    s.running = true;
    net::post(s.home(), [&s] { s.accept(); });
    // A handler that throws (out of memory) loses its connection, not the server.
    auto work = [&s](size_t i) {
        for (;;) {
            try {
                s.contexts[i]->run();
                return;
            } catch (const std::exception& e) {
                std::cerr << "pontaro-server: " << e.what() << "\n";
            }
        }
    };
    std::vector<std::thread> pool;
    for (size_t i = 1; i < s.contexts.size(); ++i)
        pool.emplace_back(work, i);
    work(0);
    for (auto& t : pool)
        t.join();
    s.running = false;
    return true;
}

void PointServer::stop() {
    Impl& s = *impl_;
    if (s.stopping.exchange(true))
        return;
    net::post(s.home(), [&s] { s.beginStop(); });
}
