#include "live/live_server.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <cstdio>
#include <deque>
#include <optional>
#include <random>
#include <stdexcept>

namespace le::live {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

constexpr const char* kServerName = "le_live";

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
  };

  const ServerOptions opts;
  const SourceFactory factory;
  const Speaker speaker;
  asio::io_context ioc{1};
  tcp::acceptor acceptor{ioc};

  mutable std::mutex mu;  // guards live, dying, reserved, stopping
  std::condition_variable cv;
  std::map<std::string, Entry> live;
  std::vector<std::shared_ptr<LiveSession>> dying;  // ended, waiting for the reaper to join them
  int reserved = 0;                                 // upgrades accepted, sessions not yet made
  bool stopping = false;

  std::thread io, reaper;

  int sessionCount() const { return int(live.size() + dying.size()) + reserved; }
  std::string busyMessage() const {
    return "The live demo is busy: all " + std::to_string(opts.maxSessions) +
           " sessions are in use. Close another viewer or try again later.";
  }

  void accept();
  void reap();
  bool reserve();
  void unreserve();
  // Makes the session of a WebSocket that has just been accepted.
  std::string open(const std::shared_ptr<WsConn>& conn);
  // Ends the session `id` (its viewer left); the reaper frees it.
  void release(const std::string& id);
  std::shared_ptr<LiveSession> find(const std::string& id);
  Response handle(const Request& req);
};

// One viewer's WebSocket: carries the session's output in order, at most
// maxPendingBytes of it queued; reads only to notice the viewer leaving.
class WsConn : public std::enable_shared_from_this<WsConn> {
 public:
  WsConn(tcp::socket&& socket, LiveServer::Impl& server) : ws_(std::move(socket)), server_(server) {}

  void start(Request req) {
    ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
    ws_.set_option(websocket::stream_base::decorator(
        [](websocket::response_type& res) { res.set(http::field::server, kServerName); }));
    ws_.read_message_max(4096);
    req_ = std::move(req);
    ws_.async_accept(req_, [self = shared_from_this()](beast::error_code ec) { self->onAccept(ec); });
  }

  // Thread-safe: queues a message; false once the connection is closing or
  // the viewer has fallen too far behind.
  bool enqueue(bool binary, std::string data) {
    std::lock_guard<std::mutex> lock(mu_);
    if (closed_) return false;
    if (queuedBytes_ + data.size() > server_.opts.maxPendingBytes) {
      closed_ = true;
      closeCode_ = websocket::close_code::policy_error;
      closeReason_ = "viewer too slow";
      schedule();
      return false;
    }
    queuedBytes_ += data.size();
    queue_.emplace_back(binary, std::move(data));
    schedule();
    return true;
  }

  // Thread-safe: closes the connection after what is queued.
  void closeWith(websocket::close_code code, const std::string& reason) {
    std::lock_guard<std::mutex> lock(mu_);
    if (closed_) return;
    closed_ = true;
    closeCode_ = code;
    closeReason_ = reason;
    schedule();
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

  void gone() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      closed_ = true;
    }
    if (!id_.empty()) server_.release(id_);
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
        ws_.async_close(why, [self = shared_from_this()](beast::error_code) {});
      }
      return;
    }
    current_ = std::move(queue_.front());
    queue_.pop_front();
    queuedBytes_ -= current_.second.size();
    lock.unlock();
    writing_ = true;
    ws_.binary(current_.first);
    ws_.async_write(asio::buffer(current_.second), [self = shared_from_this()](beast::error_code ec, std::size_t) {
      self->writing_ = false;
      if (ec) {
        self->gone();
        return;
      }
      self->flush();
    });
  }

  websocket::stream<beast::tcp_stream> ws_;
  LiveServer::Impl& server_;
  Request req_;
  std::string id_;
  beast::flat_buffer readBuf_;
  std::mutex mu_;  // guards queue_, queuedBytes_, closed_, scheduled_, closeCode_, closeReason_
  std::deque<std::pair<bool, std::string>> queue_;
  std::size_t queuedBytes_ = 0;
  bool closed_ = false, scheduled_ = false;
  websocket::close_code closeCode_ = websocket::close_code::none;
  std::string closeReason_;
  // I/O thread only.
  bool writing_ = false, closing_ = false;
  std::pair<bool, std::string> current_;
};

// One HTTP connection: requests in turn until it closes or upgrades.
class HttpConn : public std::enable_shared_from_this<HttpConn> {
 public:
  HttpConn(tcp::socket&& socket, LiveServer::Impl& server) : stream_(std::move(socket)), server_(server) {}

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
      auto conn = std::make_shared<WsConn>(stream_.release_socket(), server_);
      conn->start(std::move(req));
      return;
    }
    Response res = server_.handle(req);
    reply(std::move(res), !res.keep_alive());
  }

  void reply(Response res, bool thenClose) {
    if (thenClose) res.keep_alive(false);
    auto shared = std::make_shared<Response>(std::move(res));
    http::async_write(stream_, *shared, [self = shared_from_this(), shared, thenClose](beast::error_code ec, std::size_t) {
      if (ec || thenClose) return self->close();
      self->read();
    });
  }

  void close() {
    beast::error_code ec;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
  }

  beast::tcp_stream stream_;
  LiveServer::Impl& server_;
  beast::flat_buffer buf_;
  std::optional<http::request_parser<http::string_body>> parser_;
};

void LiveServer::Impl::accept() {
  acceptor.async_accept(asio::make_strand(ioc), [this](beast::error_code ec, tcp::socket socket) {
    if (ec) {
      if (ec == asio::error::operation_aborted) return;
    } else {
      std::make_shared<HttpConn>(std::move(socket), *this)->read();
    }
    accept();
  });
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
  live[id] = Entry{std::move(session), conn};
  return id;
}

void LiveServer::Impl::release(const std::string& id) {
  std::lock_guard<std::mutex> lock(mu);
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
// to stop), and closes the WebSocket of a session that ended by itself.
void LiveServer::Impl::reap() {
  std::unique_lock<std::mutex> lock(mu);
  for (;;) {
    cv.wait_for(lock, std::chrono::milliseconds(200));
    for (auto& [id, entry] : live)
      if (entry.session->finished()) entry.conn->closeWith(websocket::close_code::internal_error, "session ended");
    while (!dying.empty()) {
      std::shared_ptr<LiveSession> s = std::move(dying.back());
      lock.unlock();
      s.reset();  // joins its threads and frees its engine
      lock.lock();
      dying.pop_back();
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

LiveServer::LiveServer(ServerOptions opts, SourceFactory factory, Speaker speaker)
    : impl_(std::make_unique<Impl>(std::move(opts), std::move(factory), std::move(speaker))) {
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
