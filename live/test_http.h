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

// Sends one request to 127.0.0.1:port (Host "127.0.0.1:port" unless
// `headers` names another) and reads the reply; throws on connection errors.
HttpReply httpRequest(unsigned short port, const std::string& method, const std::string& target,
                      const std::string& body = "", const std::string& contentType = "text/plain",
                      const std::map<std::string, std::string>& headers = {});

// Writes `raw` bytes to 127.0.0.1:port and returns the status of the reply
// (0 when the server closed without one) with its body in `body`.
int rawRequest(unsigned short port, const std::string& raw, std::string* body = nullptr);

// A plain TCP connection to 127.0.0.1:port, for clients that misbehave:
// optionally from another loopback address, with a small receive buffer.
class RawSocket {
 public:
  // Throws when the connection cannot be made.
  explicit RawSocket(unsigned short port, const std::string& from = "", int receiveBuffer = 0);
  ~RawSocket();
  RawSocket(const RawSocket&) = delete;
  RawSocket& operator=(const RawSocket&) = delete;
  void send(const std::string& bytes);
  // Reads until `until` has arrived, the peer closed or `timeout` passed;
  // returns what was read.
  std::string readUntil(const std::string& until, std::chrono::milliseconds timeout = std::chrono::seconds(10));

 private:
  int fd_ = -1;
};

// Sends a WebSocket upgrade of /ws, with `extraHeaders` (full lines), and
// returns the reply's status (0 when none came).
int wsUpgrade(RawSocket& s, unsigned short port, const std::string& extraHeaders = "");

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
