#include "live/test_http.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <stdexcept>

namespace le::live::test {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

tcp::endpoint loopback(unsigned short port) { return {asio::ip::make_address("127.0.0.1"), port}; }

}  // namespace

HttpReply httpRequest(unsigned short port, const std::string& method, const std::string& target,
                      const std::string& body, const std::string& contentType,
                      const std::map<std::string, std::string>& headers) {
  asio::io_context ioc;
  beast::tcp_stream stream(ioc);
  stream.expires_after(std::chrono::seconds(20));
  stream.connect(loopback(port));
  http::request<http::string_body> req{http::string_to_verb(method), target, 11};
  req.set(http::field::host, "127.0.0.1:" + std::to_string(port));
  for (const auto& [name, value] : headers) req.set(name, value);
  if (!body.empty() || method == "POST") {
    req.set(http::field::content_type, contentType);
    req.body() = body;
  }
  req.prepare_payload();
  http::write(stream, req);
  beast::flat_buffer buf;
  http::response_parser<http::string_body> parser;
  parser.body_limit(64u << 20);
  http::read(stream, buf, parser);
  const auto& res = parser.get();
  HttpReply r;
  r.status = int(res.result_int());
  r.body = res.body();
  for (const auto& f : res) {
    std::string name(f.name_string());
    for (auto& c : name) c = char(std::tolower(uint8_t(c)));
    r.headers[name] = std::string(f.value());
  }
  beast::error_code ec;
  stream.socket().shutdown(tcp::socket::shutdown_both, ec);
  return r;
}

int rawRequest(unsigned short port, const std::string& raw, std::string* body) {
  asio::io_context ioc;
  beast::tcp_stream stream(ioc);
  stream.expires_after(std::chrono::seconds(20));
  stream.connect(loopback(port));
  beast::error_code ec;
  asio::write(stream, asio::buffer(raw), ec);
  beast::flat_buffer buf;
  http::response<http::string_body> res;
  http::read(stream, buf, res, ec);
  if (ec) return 0;
  if (body) *body = res.body();
  return int(res.result_int());
}

RawSocket::RawSocket(unsigned short port, const std::string& from, int receiveBuffer) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw std::runtime_error("socket failed");
  if (receiveBuffer > 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  if (!from.empty()) {
    ::inet_pton(AF_INET, from.c_str(), &a.sin_addr);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      ::close(fd_);
      throw std::runtime_error("cannot bind to " + from);
    }
  }
  a.sin_port = htons(port);
  ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd_);
    throw std::runtime_error("cannot connect");
  }
}

RawSocket::~RawSocket() { ::close(fd_); }

void RawSocket::send(const std::string& bytes) {
  std::size_t off = 0;
  while (off < bytes.size()) {
    const ssize_t n = ::send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return;
    off += std::size_t(n);
  }
}

std::string RawSocket::readUntil(const std::string& until, std::chrono::milliseconds timeout) {
  std::string got;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (got.find(until) == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{fd_, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, int(left.count())) <= 0) break;
    char buf[4096];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) break;
    got.append(buf, std::size_t(n));
  }
  return got;
}

int wsUpgrade(RawSocket& s, unsigned short port, const std::string& extraHeaders) {
  s.send("GET /ws HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
         "\r\nConnection: Upgrade\r\nUpgrade: websocket\r\nSec-WebSocket-Version: 13\r\n"
         "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n" +
         extraHeaders + "\r\n");
  const std::string reply = s.readUntil("\r\n\r\n");
  if (reply.compare(0, 9, "HTTP/1.1 ") != 0) return 0;
  return std::atoi(reply.c_str() + 9);
}

struct WsClient::Impl {
  asio::io_context ioc;
  websocket::stream<beast::tcp_stream> ws{ioc};
};

WsClient::WsClient(unsigned short port, const std::string& target) : impl_(std::make_unique<Impl>()) {
  auto& next = beast::get_lowest_layer(impl_->ws);
  next.expires_after(std::chrono::seconds(20));
  next.connect(loopback(port));
  impl_->ws.handshake("127.0.0.1:" + std::to_string(port), target);
  next.expires_never();
}

WsClient::~WsClient() = default;

bool WsClient::read(std::string& data, bool& binary, std::chrono::milliseconds timeout) {
  beast::flat_buffer buf;
  beast::error_code result = asio::error::would_block;
  beast::get_lowest_layer(impl_->ws).expires_after(timeout);
  impl_->ws.async_read(buf, [&](beast::error_code ec, std::size_t) { result = ec; });
  impl_->ioc.restart();
  impl_->ioc.run();
  if (result) return false;
  data = beast::buffers_to_string(buf.data());
  binary = impl_->ws.got_binary();
  return true;
}

void WsClient::write(const std::string& text) {
  impl_->ws.text(true);
  impl_->ws.write(asio::buffer(text));
}

void WsClient::close() {
  beast::error_code ec;
  beast::get_lowest_layer(impl_->ws).expires_after(std::chrono::seconds(5));
  impl_->ws.close(websocket::close_code::normal, ec);
}

}  // namespace le::live::test
