#include "live/test_http.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <cctype>
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
                      const std::string& body, const std::string& contentType) {
  asio::io_context ioc;
  beast::tcp_stream stream(ioc);
  stream.expires_after(std::chrono::seconds(20));
  stream.connect(loopback(port));
  http::request<http::string_body> req{http::string_to_verb(method), target, 11};
  req.set(http::field::host, "127.0.0.1");
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
