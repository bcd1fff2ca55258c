// Small blocking HTTP and WebSocket clients for the live server's tests
// (loopback only).
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <string>

namespace le::live::test {

struct HttpReply {
  int status = 0;
  std::string body;
  std::map<std::string, std::string> headers;  // lower-case names
};

// Sends one request to 127.0.0.1:port and reads the reply; throws on
// connection errors.
HttpReply httpRequest(unsigned short port, const std::string& method, const std::string& target,
                      const std::string& body = "", const std::string& contentType = "text/plain");

// Writes `raw` bytes to 127.0.0.1:port and returns the status of the reply
// (0 when the server closed without one) with its body in `body`.
int rawRequest(unsigned short port, const std::string& raw, std::string* body = nullptr);

// A WebSocket client connection.
class WsClient {
 public:
  // Connects to ws://127.0.0.1:port<target>; throws when the handshake fails.
  WsClient(unsigned short port, const std::string& target);
  ~WsClient();
  // Reads one message; false on close, error or timeout.
  bool read(std::string& data, bool& binary, std::chrono::milliseconds timeout = std::chrono::seconds(10));
  void write(const std::string& text);
  void close();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace le::live::test
