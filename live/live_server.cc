#include "live/live_server.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <optional>
#include <random>
#include <stdexcept>

#include <malloc.h>

namespace le::live {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

using Clock = std::chrono::steady_clock;

constexpr const char* kServerName = "le_live";
// Ending a WebSocket, politely or after a protocol error, may take this
// long before the connection is cut.
constexpr auto kCloseGrace = std::chrono::seconds(5);
// Pause before accepting again after accept failed (descriptors ran out).
constexpr auto kAcceptPause = std::chrono::milliseconds(100);

std::string lower(std::string s) {
  for (char& c : s) c = char(std::tolower(uint8_t(c)));
  return s;
}

// Splits a Host value ("name", "name:port", "[v6]:port"); false when malformed.
bool splitHost(const std::string& host, std::string& name, unsigned& port) {
  std::string rest;
  if (!host.empty() && host[0] == '[') {
    const std::size_t close = host.find(']');
    if (close == std::string::npos) return false;
    name = host.substr(1, close - 1);
    rest = host.substr(close + 1);
  } else {
    const std::size_t colon = host.rfind(':');
    name = host.substr(0, colon);
    if (colon != std::string::npos) rest = host.substr(colon);
    if (name.find(':') != std::string::npos) return false;
  }
  if (name.empty()) return false;
  port = 80;
  if (rest.empty()) return true;
  if (rest[0] != ':' || rest.size() < 2 || rest.size() > 6) return false;
  port = 0;
  for (std::size_t i = 1; i < rest.size(); ++i) {
    if (!std::isdigit(uint8_t(rest[i]))) return false;
    port = port * 10 + unsigned(rest[i] - '0');
  }
  return port <= 65535;
}

std::string randomId() {
  std::random_device rd;
  char buf[40];
  std::snprintf(buf, sizeof buf, "%08x%08x%08x%08x", rd(), rd(), rd(), rd());
  return buf;
}

// The value of `key` in a query string, "" when absent.
std::string queryValue(const std::string& query, const std::string& key) {
  std::size_t at = 0;
  while (at <= query.size()) {
    std::size_t end = query.find('&', at);
    if (end == std::string::npos) end = query.size();
    const std::string part = query.substr(at, end - at);
    const std::size_t eq = part.find('=');
    if (part.substr(0, eq) == key) return eq == std::string::npos ? std::string() : part.substr(eq + 1);
    at = end + 1;
  }
  return {};
}

Response textResponse(const Request& req, http::status status, const std::string& body,
                      const char* type = "text/plain; charset=utf-8") {
  Response res{status, req.version()};
  res.set(http::field::server, kServerName);
  res.set(http::field::content_type, type);
  res.set(http::field::cache_control, "no-store");
  res.set("X-Content-Type-Options", "nosniff");
  res.keep_alive(req.keep_alive());
  res.body() = body;
  res.prepare_payload();
  // A reply to HEAD states the length and carries no body: a client reads
  // none, and on a kept-alive connection the body would pass for the next
  // reply.
  if (req.method() == http::verb::head) res.body().clear();
  return res;
}

}  // namespace

class WsConn;

struct LiveServer::Impl {
  Impl(ServerOptions o, SourceFactory f, Speaker s)
      : opts(std::move(o)), factory(std::move(f)), speaker(std::move(s)) {}

  struct Entry {
    std::shared_ptr<LiveSession> session;
    std::shared_ptr<WsConn> conn;
    Clock::time_point started;
  };

  const ServerOptions opts;
  const SourceFactory factory;
  const Speaker speaker;
  asio::ip::address bound;  // set before serving starts
  unsigned short boundPort = 0;

  // Declared before the I/O context: connections it still holds at the end
  // give their places back while it is destroyed.
  std::mutex connMu;  // guards connections, perAddress
  int connections = 0;
  std::map<asio::ip::address, int> perAddress;

  asio::io_context ioc{1};
  tcp::acceptor acceptor{ioc};
  asio::steady_timer acceptPause{ioc};

  mutable std::mutex mu;  // guards live, dying, reserved, reaping, stopping
  std::condition_variable cv;
  std::map<std::string, Entry> live;
  std::vector<std::shared_ptr<LiveSession>> dying;  // ended, waiting for the reaper to join them
  int reserved = 0;                                 // upgrades accepted, sessions not yet made
  int reaping = 0;                                  // taken off `dying`, being joined
  bool stopping = false;

  std::thread io, reaper;

  int sessionCount() const { return int(live.size() + dying.size()) + reserved + reaping; }
  std::string busyMessage() const {
    return "The live demo is busy: all " + std::to_string(opts.maxSessions) +
           " sessions are in use. Close another viewer or try again later.";
  }

  void accept();
  // A place for a new connection from `peer`, held until the last copy of
  // the token goes; null when the total or per-address cap is reached.
  std::shared_ptr<void> admit(const asio::ip::address& peer);
  bool hostAllowed(const std::string& host) const;
  bool originAllowed(const std::string& origin, const std::string& host) const;
  void reap();
  bool reserve();
  void unreserve();
  // Makes the session of a WebSocket that has just been accepted.
  std::string open(const std::shared_ptr<WsConn>& conn);
  // Ends the session `id` (its viewer left); the reaper frees it.
  void release(const std::string& id);
  void releaseLocked(const std::string& id);  // with mu held
  std::shared_ptr<LiveSession> find(const std::string& id);
  Response handle(const Request& req);
};

// One viewer's WebSocket: carries the session's output in order, at most
// maxPendingBytes of it queued; reads only to notice the viewer leaving.
class WsConn : public std::enable_shared_from_this<WsConn> {
 public:
  WsConn(tcp::socket&& socket, LiveServer::Impl& server, std::shared_ptr<void> slot)
      : ws_(std::move(socket)), server_(server), slot_(std::move(slot)), closeTimer_(ws_.get_executor()) {}

  void start(Request req) {
    auto timeouts = websocket::stream_base::timeout::suggested(beast::role_type::server);
    // Bounds the closing handshake too: a failed connection's teardown must
    // not keep its engine running.
    timeouts.handshake_timeout = kCloseGrace;
    ws_.set_option(timeouts);
    ws_.set_option(websocket::stream_base::decorator(
        [](websocket::response_type& res) { res.set(http::field::server, kServerName); }));
    ws_.read_message_max(4096);
    // The engine stops as soon as the viewer starts to close, not when the
    // handshake has ended.
    ws_.control_callback([this](websocket::frame_type kind, beast::string_view) {
      if (kind == websocket::frame_type::close) gone();
    });
    req_ = std::move(req);
    ws_.async_accept(req_, [self = shared_from_this()](beast::error_code ec) { self->onAccept(ec); });
  }

  // Thread-safe: queues a message; false once the connection is closing or
  // the viewer has fallen too far behind.
  bool enqueue(bool binary, std::string data) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (closed_) return false;
      if (queuedBytes_ + data.size() <= server_.opts.maxPendingBytes) {
        queuedBytes_ += data.size();
        queue_.emplace_back(binary, std::move(data));
        schedule();
        return true;
      }
    }
    // The viewer stopped reading: a close frame would wait behind the queue
    // forever, so the queue goes and the connection is cut.
    abort();
    return false;
  }

  // Thread-safe: closes the connection after what is queued, cutting it if
  // that takes longer than kCloseGrace.
  void closeWith(websocket::close_code code, const std::string& reason) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (closed_) return;
      closed_ = true;
      closeCode_ = code;
      closeReason_ = reason;
      schedule();
    }
    asio::post(ws_.get_executor(), [self = shared_from_this()] {
      self->closeTimer_.expires_after(kCloseGrace);
      self->closeTimer_.async_wait([self](beast::error_code ec) {
        if (!ec) self->cut();
      });
    });
  }

  // Thread-safe: drops what is queued and cuts the connection now.
  void abort() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      closed_ = true;
      std::deque<std::pair<bool, std::string>>().swap(queue_);
      queuedBytes_ = 0;
    }
    asio::post(ws_.get_executor(), [self = shared_from_this()] { self->cut(); });
  }

  // Thread-safe: asks the I/O thread whether the WebSocket has begun to
  // close (say after a protocol error, whose teardown can wait on the peer
  // for long); if so the session ends now and the socket is cut soon.
  void checkOpen() {
    asio::post(ws_.get_executor(), [self = shared_from_this()] {
      if (self->ws_.is_open()) return;
      self->gone();
      self->closeTimer_.expires_after(kCloseGrace);
      self->closeTimer_.async_wait([self](beast::error_code ec) {
        if (!ec) self->cut();
      });
    });
  }

  // Thread-safe: true when one write has been waiting on the viewer for `limit`.
  bool stalled(Clock::time_point now, std::chrono::seconds limit) const {
    const int64_t since = writeSince_.load();
    return since != 0 && now.time_since_epoch() - Clock::duration(since) >= limit;
  }

 private:
  void schedule() {  // with mu_ held
    if (scheduled_) return;
    scheduled_ = true;
    asio::post(ws_.get_executor(), [self = shared_from_this()] { self->flush(); });
  }

  void onAccept(beast::error_code ec) {
    if (ec) {
      server_.unreserve();
      return;
    }
    id_ = server_.open(shared_from_this());
    if (id_.empty()) return;
    read();
  }

  void read() {
    ws_.async_read(readBuf_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
      if (ec) {
        self->gone();
        return;
      }
      self->readBuf_.consume(self->readBuf_.size());
      self->read();
    });
  }

  // I/O thread: the viewer left or is leaving; its session ends now.
  void gone() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      closed_ = true;
    }
    if (!id_.empty()) server_.release(id_);
  }

  // I/O thread: closing the socket ends every pending operation.
  void cut() {
    closeTimer_.cancel();
    beast::get_lowest_layer(ws_).close();
  }

  // I/O thread: writes the next message, or the close once all are out.
  void flush() {
    if (writing_ || closing_) return;
    std::unique_lock<std::mutex> lock(mu_);
    if (queue_.empty()) {
      scheduled_ = false;
      if (closed_ && closeCode_ != websocket::close_code::none) {
        closing_ = true;
        const websocket::close_reason why(closeCode_, closeReason_);
        lock.unlock();
        ws_.async_close(why, [self = shared_from_this()](beast::error_code) { self->closeTimer_.cancel(); });
      }
      return;
    }
    current_ = std::move(queue_.front());
    queue_.pop_front();
    queuedBytes_ -= current_.second.size();
    lock.unlock();
    writing_ = true;
    writeSince_ = Clock::now().time_since_epoch().count();
    ws_.binary(current_.first);
    ws_.async_write(asio::buffer(current_.second), [self = shared_from_this()](beast::error_code ec, std::size_t) {
      self->writing_ = false;
      self->writeSince_ = 0;
      if (ec) {
        self->gone();
        return;
      }
      self->flush();
    });
  }

  websocket::stream<beast::tcp_stream> ws_;
  LiveServer::Impl& server_;
  const std::shared_ptr<void> slot_;  // this connection's place under the caps
  Request req_;
  std::string id_;
  beast::flat_buffer readBuf_;
  std::mutex mu_;  // guards queue_, queuedBytes_, closed_, scheduled_, closeCode_, closeReason_
  std::deque<std::pair<bool, std::string>> queue_;
  std::size_t queuedBytes_ = 0;
  bool closed_ = false, scheduled_ = false;
  websocket::close_code closeCode_ = websocket::close_code::none;
  std::string closeReason_;
  std::atomic<int64_t> writeSince_{0};  // steady-clock ticks when the pending write began; 0 when none
  // I/O thread only.
  asio::steady_timer closeTimer_;
  bool writing_ = false, closing_ = false;
  std::pair<bool, std::string> current_;
};

// One HTTP connection: requests in turn until it closes or upgrades.
class HttpConn : public std::enable_shared_from_this<HttpConn> {
 public:
  HttpConn(tcp::socket&& socket, LiveServer::Impl& server, std::shared_ptr<void> slot)
      : stream_(std::move(socket)), server_(server), slot_(std::move(slot)) {}

  void read() {
    parser_.emplace();
    parser_->body_limit(server_.opts.maxBodyBytes);
    parser_->header_limit(8 * 1024);
    stream_.expires_after(std::chrono::seconds(server_.opts.httpTimeoutSeconds));
    http::async_read(stream_, buf_, *parser_,
                     [self = shared_from_this()](beast::error_code ec, std::size_t) { self->onRead(ec); });
  }

 private:
  void onRead(beast::error_code ec) {
    if (ec == http::error::end_of_stream || ec == beast::error::timeout) return close();
    if (ec) {
      // A request the parser refused gets its status, then the connection closes.
      Request bare;
      bare.version(11);
      bare.keep_alive(false);
      if (ec == http::error::body_limit)
        return reply(textResponse(bare, http::status::payload_too_large,
                                  "The request body is larger than " + std::to_string(server_.opts.maxBodyBytes) +
                                      " bytes.\n"),
                     true);
      if (ec == http::error::header_limit)
        return reply(textResponse(bare, http::status::request_header_fields_too_large,
                                  "The request headers are larger than 8192 bytes.\n"),
                     true);
      if (ec.category() == http::make_error_code(http::error::bad_target).category())
        return reply(textResponse(bare, http::status::bad_request, "Malformed HTTP request: " + ec.message() + ".\n"),
                     true);
      return close();
    }
    Request req = parser_->release();
    const std::string target(req.target());
    const std::string path = target.substr(0, target.find('?'));
    // A page elsewhere, or a name rebound to this address, gets nothing.
    const std::string host(req[http::field::host]);
    if (!server_.hostAllowed(host))
      return reply(textResponse(req, http::status::misdirected_request,
                                "This server does not answer to the host name '" + host + "'.\n"),
                   true);
    const bool changesState =
        websocket::is_upgrade(req) || (req.method() != http::verb::get && req.method() != http::verb::head);
    const std::string origin(req[http::field::origin]);
    if (changesState && !server_.originAllowed(origin, host))
      return reply(textResponse(req, http::status::forbidden,
                                "Requests from " + origin + " are not accepted; open the page from this server.\n"),
                   true);
    if (websocket::is_upgrade(req)) {
      if (path != "/ws") return reply(textResponse(req, http::status::not_found, "No WebSocket at " + path + ".\n"), true);
      if (!server_.reserve()) {
        std::string msg;
        {
          std::lock_guard<std::mutex> lock(server_.mu);
          msg = server_.busyMessage();
        }
        Response res = textResponse(req, http::status::service_unavailable, msg + "\n");
        res.set(http::field::retry_after, "10");
        return reply(std::move(res), true);
      }
      stream_.expires_never();
      auto conn = std::make_shared<WsConn>(stream_.release_socket(), server_, slot_);
      conn->start(std::move(req));
      return;
    }
    Response res = server_.handle(req);
    const bool thenClose = !res.keep_alive();  // read before res is moved from
    reply(std::move(res), thenClose);
  }

  void reply(Response res, bool thenClose) {
    if (thenClose) res.keep_alive(false);
    auto shared = std::make_shared<Response>(std::move(res));
    http::async_write(stream_, *shared, [self = shared_from_this(), shared, thenClose](beast::error_code ec, std::size_t) {
      if (ec || thenClose) return self->close();
      self->read();
    });
  }

  // The send side closes now; what the client still sends is read and
  // dropped for two seconds at most, since closing with request bytes unread
  // sends a reset, which can cost the client the reply it has not read yet.
  void close() {
    beast::error_code ec;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
    stream_.expires_after(std::chrono::seconds(2));
    drain(0);
  }

  void drain(std::size_t drained) {
    if (drained > kDrainBytes) return;
    stream_.async_read_some(asio::buffer(scratch_), [self = shared_from_this(), drained](beast::error_code ec,
                                                                                         std::size_t n) {
      if (!ec) self->drain(drained + n);
    });
  }

  static constexpr std::size_t kDrainBytes = 1 << 20;
  beast::tcp_stream stream_;
  LiveServer::Impl& server_;
  const std::shared_ptr<void> slot_;  // this connection's place under the caps
  // Bounded: the parser limits headers and body, but not a chunk-size line
  // or a trailer, and what it has not parsed yet would grow without end.
  beast::flat_buffer buf_{64 * 1024};
  std::optional<http::request_parser<http::string_body>> parser_;
  std::array<char, 4096> scratch_;  // dropped bytes while draining
};

void LiveServer::Impl::accept() {
  acceptor.async_accept(asio::make_strand(ioc), [this](beast::error_code ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted) return;
    if (ec) {
      // Out of descriptors, most likely: trying again at once would spin.
      acceptPause.expires_after(kAcceptPause);
      acceptPause.async_wait([this](beast::error_code e) {
        if (!e) accept();
      });
      return;
    }
    beast::error_code peerEc;
    const tcp::endpoint peer = socket.remote_endpoint(peerEc);
    std::shared_ptr<void> slot = peerEc ? nullptr : admit(peer.address());
    // Over a cap the socket closes unanswered as it goes out of scope.
    if (slot) std::make_shared<HttpConn>(std::move(socket), *this, std::move(slot))->read();
    accept();
  });
}

std::shared_ptr<void> LiveServer::Impl::admit(const asio::ip::address& peer) {
  std::lock_guard<std::mutex> lock(connMu);
  int& mine = perAddress[peer];
  if (connections >= opts.maxConnections || mine >= opts.maxConnectionsPerAddress) {
    if (mine == 0) perAddress.erase(peer);
    return nullptr;
  }
  ++mine;
  ++connections;
  return std::shared_ptr<void>(this, [this, peer](void*) {
    std::lock_guard<std::mutex> released(connMu);
    --connections;
    if (--perAddress[peer] == 0) perAddress.erase(peer);
  });
}

bool LiveServer::Impl::hostAllowed(const std::string& host) const {
  for (const std::string& h : opts.allowedHosts)
    if (lower(h) == lower(host)) return true;
  std::string name;
  unsigned port = 0;
  if (!splitHost(host, name, port) || port != boundPort) return false;
  beast::error_code ec;
  const asio::ip::address literal = asio::ip::make_address(name, ec);
  // Any IP literal will do on a wildcard bind: rebinding attacks need a name.
  if (!ec) return bound.is_unspecified() || literal == bound;
  return lower(name) == "localhost" && (bound.is_loopback() || bound.is_unspecified());
}

bool LiveServer::Impl::originAllowed(const std::string& origin, const std::string& host) const {
  // Browsers send an Origin with every upgrade and POST; a request without
  // one comes from a program, which no page can drive.
  if (origin.empty()) return true;
  for (const std::string& o : opts.allowedOrigins)
    if (lower(o) == lower(origin)) return true;
  return lower(origin) == "http://" + lower(host);
}

bool LiveServer::Impl::reserve() {
  std::lock_guard<std::mutex> lock(mu);
  if (stopping || sessionCount() >= opts.maxSessions) return false;
  ++reserved;
  return true;
}

void LiveServer::Impl::unreserve() {
  std::lock_guard<std::mutex> lock(mu);
  --reserved;
}

std::string LiveServer::Impl::open(const std::shared_ptr<WsConn>& conn) {
  const std::string id = randomId();
  SessionOptions so;
  so.maxTextBytes = opts.maxTextBytes;
  so.speechLead = opts.speechLead;
  auto session = std::make_shared<LiveSession>(
      id, factory, speaker, [conn](bool binary, std::string data) { return conn->enqueue(binary, std::move(data)); },
      so);
  std::lock_guard<std::mutex> lock(mu);
  --reserved;
  if (stopping) {
    session->close();
    dying.push_back(std::move(session));
    cv.notify_all();
    return {};
  }
  live[id] = Entry{std::move(session), conn, Clock::now()};
  return id;
}

void LiveServer::Impl::release(const std::string& id) {
  std::lock_guard<std::mutex> lock(mu);
  releaseLocked(id);
}

void LiveServer::Impl::releaseLocked(const std::string& id) {
  auto it = live.find(id);
  if (it == live.end()) return;
  it->second.session->close();
  dying.push_back(std::move(it->second.session));
  live.erase(it);
  cv.notify_all();
}

std::shared_ptr<LiveSession> LiveServer::Impl::find(const std::string& id) {
  std::lock_guard<std::mutex> lock(mu);
  auto it = live.find(id);
  return it == live.end() ? nullptr : it->second.session;
}

// Joins and frees ended sessions off the I/O thread (an engine takes a while
// to stop), closes the WebSocket of a session that ended by itself, ends
// sessions past their lifetime and cuts viewers that stopped reading.
void LiveServer::Impl::reap() {
  std::unique_lock<std::mutex> lock(mu);
  for (;;) {
    cv.wait_for(lock, std::chrono::milliseconds(200));
    const Clock::time_point now = Clock::now();
    std::vector<std::string> expired;
    for (auto& [id, entry] : live) {
      if (entry.session->finished()) entry.conn->closeWith(websocket::close_code::internal_error, "session ended");
      if (opts.maxSessionSeconds > 0 && now - entry.started >= std::chrono::seconds(opts.maxSessionSeconds))
        expired.push_back(id);
      if (entry.conn->stalled(now, std::chrono::seconds(opts.writeStallSeconds))) entry.conn->abort();
      entry.conn->checkOpen();
    }
    for (const std::string& id : expired) {
      live[id].conn->closeWith(websocket::close_code::try_again_later, "session time limit reached");
      releaseLocked(id);
    }
    while (!dying.empty()) {
      std::shared_ptr<LiveSession> s = std::move(dying.back());
      dying.pop_back();
      ++reaping;
      lock.unlock();
      s.reset();  // joins its threads and frees its engine
      // An engine's freed memory would otherwise stay with the allocator,
      // and a long-running server would grow with every session.
      malloc_trim(0);
      lock.lock();
      --reaping;
    }
    if (stopping && live.empty() && dying.empty()) return;
  }
}

Response LiveServer::Impl::handle(const Request& req) {
  const std::string target(req.target());
  const std::size_t q = target.find('?');
  const std::string path = target.substr(0, q);
  const std::string query = q == std::string::npos ? std::string() : target.substr(q + 1);
  auto methodNotAllowed = [&](const char* allow) {
    Response res = textResponse(req, http::status::method_not_allowed,
                                std::string(req.method_string()) + " is not allowed on " + path + "; use " + allow + ".\n");
    res.set(http::field::allow, allow);
    return res;
  };

  if (path == "/" || path == "/index.html") {
    if (req.method() != http::verb::get) return methodNotAllowed("GET");
    return textResponse(req, http::status::ok, kPageHtml, "text/html; charset=utf-8");
  }
  if (path == "/favicon.ico") return textResponse(req, http::status::no_content, "");
  if (path == "/api/status") {
    if (req.method() != http::verb::get) return methodNotAllowed("GET");
    std::lock_guard<std::mutex> lock(mu);
    const int n = sessionCount();
    const bool busy = n >= opts.maxSessions;
    return textResponse(req, http::status::ok,
                        "{\"sessions\":" + std::to_string(n) + ",\"maxSessions\":" + std::to_string(opts.maxSessions) +
                            ",\"maxText\":" + std::to_string(opts.maxTextBytes) + ",\"busy\":" + (busy ? "true" : "false") +
                            ",\"message\":" + jsonString(busy ? busyMessage() : "") + "}\n",
                        "application/json");
  }
  if (path == "/ws") {
    Response res = textResponse(req, http::status::upgrade_required, "/ws takes WebSocket connections only.\n");
    res.set(http::field::upgrade, "websocket");
    return res;
  }
  if (path == "/api/say" || path == "/api/stop") {
    if (req.method() != http::verb::post) return methodNotAllowed("POST");
    const std::string id = queryValue(query, "session");
    if (id.empty())
      return textResponse(req, http::status::bad_request, "The request names no session (?session=ID).\n");
    std::shared_ptr<LiveSession> s = find(id);
    if (!s || s->finished())
      return textResponse(req, http::status::not_found, "No live session " + id + ": it has ended or never existed.\n");
    if (path == "/api/stop") {
      s->stop();
      return textResponse(req, http::status::accepted, "{\"stopped\":true}\n", "application/json");
    }
    const auto type = req[http::field::content_type];
    if (!type.empty() && type.substr(0, 10) != "text/plain")
      return textResponse(req, http::status::unsupported_media_type,
                          "The sentence must be sent as text/plain, not " + std::string(type) + ".\n");
    switch (s->say(req.body())) {
      case LiveSession::SayResult::kQueued:
        return textResponse(req, http::status::accepted, "{\"queued\":true}\n", "application/json");
      case LiveSession::SayResult::kEmpty:
        return textResponse(req, http::status::bad_request, "The text is empty.\n");
      case LiveSession::SayResult::kTooLong:
        return textResponse(req, http::status::payload_too_large,
                            "The text is " + std::to_string(req.body().size()) + " bytes; at most " +
                                std::to_string(opts.maxTextBytes) + " are accepted.\n");
      case LiveSession::SayResult::kNotUtf8:
        return textResponse(req, http::status::bad_request,
                            "The text must be UTF-8 without control characters.\n");
      case LiveSession::SayResult::kQueueFull:
        return textResponse(req, http::status::too_many_requests,
                            "Too many sentences are waiting; wait for some to be spoken or press stop.\n");
      case LiveSession::SayResult::kClosed:
        break;
    }
    return textResponse(req, http::status::not_found, "No live session " + id + ": it has ended.\n");
  }
  return textResponse(req, http::status::not_found, "No such path: " + path + "\n");
}

namespace {

// Every session's threads would otherwise get allocator arenas of their own
// (up to eight per core), and the freed pages scattered over them stay with
// the process however often they are trimmed: memory climbed with each
// session. Two arenas keep a long-running server flat; a MALLOC_ARENA_MAX
// set by whoever runs it wins.
void boundAllocatorArenas() {
  if (!std::getenv("MALLOC_ARENA_MAX")) mallopt(M_ARENA_MAX, 2);
}

}  // namespace

LiveServer::LiveServer(ServerOptions opts, SourceFactory factory, Speaker speaker)
    : impl_((boundAllocatorArenas(),
             std::make_unique<Impl>(std::move(opts), std::move(factory), std::move(speaker)))) {
  Impl& s = *impl_;
  beast::error_code ec;
  const auto address = asio::ip::make_address(s.opts.address, ec);
  if (ec) throw std::runtime_error("Live server: '" + s.opts.address + "' is not an IP address.");
  const tcp::endpoint ep(address, s.opts.port);
  s.acceptor.open(ep.protocol(), ec);
  if (!ec) s.acceptor.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) s.acceptor.bind(ep, ec);
  if (!ec) s.acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec)
    throw std::runtime_error("Live server: cannot listen on " + s.opts.address + ":" + std::to_string(s.opts.port) +
                             ": " + ec.message() + ".");
  port_ = s.acceptor.local_endpoint().port();
  s.bound = address;
  s.boundPort = port_;
  s.accept();
  s.io = std::thread([&s] { s.ioc.run(); });
  s.reaper = std::thread([&s] { s.reap(); });
}

LiveServer::~LiveServer() {
  Impl& s = *impl_;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    s.stopping = true;
    for (auto& [id, entry] : s.live) {
      entry.session->close();
      s.dying.push_back(std::move(entry.session));
    }
    s.live.clear();
    s.cv.notify_all();
  }
  asio::post(s.ioc, [&s] {
    beast::error_code ec;
    s.acceptor.close(ec);
    s.acceptPause.cancel();
  });
  s.reaper.join();
  s.ioc.stop();
  s.io.join();
}

int LiveServer::sessions() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->sessionCount();
}

}  // namespace le::live
