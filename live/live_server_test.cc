// The server without a browser: its routes, its errors for bad requests,
// the session limit and the release of a session when its viewer leaves.
#include "live/live_server.h"

#include <gtest/gtest.h>

#include <thread>

#include "live/synthetic_source.h"
#include "live/test_http.h"

namespace le::live {
namespace {

using namespace std::chrono_literals;
using test::httpRequest;

std::unique_ptr<LiveServer> startServer(int maxSessions) {
  ServerOptions opts;
  opts.port = 0;
  opts.maxSessions = maxSessions;
  opts.maxTextBytes = 100;
  opts.maxBodyBytes = 1000;
  return std::make_unique<LiveServer>(
      opts, [] { return std::make_unique<SyntheticSource>(64, 48); },
      [](const std::string&) { return std::vector<int16_t>(4 * kSamplesPerFrame, 1000); });
}

// Reads messages until the hello; returns the session id.
std::string helloSession(test::WsClient& ws) {
  std::string data;
  bool binary = false;
  while (ws.read(data, binary)) {
    if (!binary && data.find("\"type\":\"hello\"") != std::string::npos) {
      const auto at = data.find("\"session\":\"") + 11;
      return data.substr(at, data.find('"', at) - at);
    }
  }
  return {};
}

bool waitSessions(LiveServer& s, int n) {
  for (int i = 0; i < 500 && s.sessions() != n; ++i) std::this_thread::sleep_for(10ms);
  return s.sessions() == n;
}

TEST(LiveServer, ServesThePageStatusAndProperErrors) {
  auto server = startServer(2);
  const unsigned short port = server->port();
  auto page = httpRequest(port, "GET", "/");
  EXPECT_EQ(page.status, 200);
  EXPECT_EQ(page.headers["content-type"], "text/html; charset=utf-8");
  EXPECT_NE(page.body.find("<video"), std::string::npos);

  auto status = httpRequest(port, "GET", "/api/status");
  EXPECT_EQ(status.status, 200);
  EXPECT_EQ(status.body, "{\"sessions\":0,\"maxSessions\":2,\"maxText\":100,\"busy\":false,\"message\":\"\"}\n");

  auto missing = httpRequest(port, "GET", "/etc/passwd");
  EXPECT_EQ(missing.status, 404);
  EXPECT_EQ(missing.body, "No such path: /etc/passwd\n");
  auto wrongMethod = httpRequest(port, "DELETE", "/");
  EXPECT_EQ(wrongMethod.status, 405);
  EXPECT_EQ(wrongMethod.headers["allow"], "GET");
  EXPECT_EQ(httpRequest(port, "GET", "/api/say?session=x").status, 405);
  EXPECT_EQ(httpRequest(port, "GET", "/ws").status, 426);
  auto noSession = httpRequest(port, "POST", "/api/say", "Hello");
  EXPECT_EQ(noSession.status, 400);
  EXPECT_EQ(noSession.body, "The request names no session (?session=ID).\n");
  auto unknown = httpRequest(port, "POST", "/api/stop?session=0123", "");
  EXPECT_EQ(unknown.status, 404);
  EXPECT_EQ(unknown.body, "No live session 0123: it has ended or never existed.\n");

  // Requests the parser refuses.
  std::string body;
  EXPECT_EQ(test::rawRequest(port, "GARBAGE\r\n\r\n", &body), 400);
  EXPECT_EQ(test::rawRequest(port, "GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(10000, 'a') + "\r\n\r\n", &body),
            431);
  EXPECT_EQ(test::rawRequest(port, "POST /api/say?session=x HTTP/1.1\r\nHost: x\r\nContent-Length: 5000\r\n\r\n", &body),
            413);
  EXPECT_EQ(body, "The request body is larger than 1000 bytes.\n");
  // The server is still there.
  EXPECT_EQ(httpRequest(port, "GET", "/api/status").status, 200);
}

TEST(LiveServer, SessionsTakeSentencesAndRefuseBadOnes) {
  auto server = startServer(2);
  const unsigned short port = server->port();
  test::WsClient ws(port, "/ws");
  const std::string id = helloSession(ws);
  ASSERT_EQ(id.size(), 32u);
  std::string data;
  bool binary = false;
  ASSERT_TRUE(ws.read(data, binary));
  EXPECT_TRUE(binary);
  EXPECT_EQ(data.substr(4, 4), "ftyp");  // the initialisation segment comes first

  const std::string say = "/api/say?session=" + id;
  auto ok = httpRequest(port, "POST", say, "Hello there.", "text/plain; charset=utf-8");
  EXPECT_EQ(ok.status, 202);
  EXPECT_EQ(ok.body, "{\"queued\":true}\n");
  auto tooLong = httpRequest(port, "POST", say, std::string(101, 'a'));
  EXPECT_EQ(tooLong.status, 413);
  EXPECT_EQ(tooLong.body, "The text is 101 bytes; at most 100 are accepted.\n");
  EXPECT_EQ(httpRequest(port, "POST", say, "   ").status, 400);
  EXPECT_EQ(httpRequest(port, "POST", say, "bad \xff byte").status, 400);
  EXPECT_EQ(httpRequest(port, "POST", say, "{\"text\":\"hi\"}", "application/json").status, 415);
  EXPECT_EQ(httpRequest(port, "POST", "/api/stop?session=" + id).status, 202);

  // Speech frames reach the viewer after the sentence.
  bool sawSpeech = false;
  for (int i = 0; i < 400 && !sawSpeech; ++i) {
    ASSERT_TRUE(ws.read(data, binary));
    sawSpeech = !binary && data.find("\"type\":\"frame\"") != std::string::npos &&
                data.find("\"kind\":1") != std::string::npos;
    if (i == 0) {
      EXPECT_EQ(httpRequest(port, "POST", say, "Once more.").status, 202);
    }
  }
  EXPECT_TRUE(sawSpeech);
}

TEST(LiveServer, LimitsSessionsAndFreesThoseWhoseViewerLeft) {
  auto server = startServer(1);
  const unsigned short port = server->port();
  std::string first;
  {
    test::WsClient ws(port, "/ws");
    first = helloSession(ws);
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(server->sessions(), 1);
    // A second viewer is refused with 503 and a message, and the status says so.
    std::string body;
    const std::string upgrade =
        "GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n"
        "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";
    EXPECT_EQ(test::rawRequest(port, upgrade, &body), 503);
    EXPECT_EQ(body, "The live demo is busy: all 1 sessions are in use. Close another viewer or try again later.\n");
    EXPECT_THROW(test::WsClient(port, "/ws"), std::exception);
    auto status = httpRequest(port, "GET", "/api/status");
    EXPECT_NE(status.body.find("\"busy\":true"), std::string::npos);
    ws.close();
  }
  // Closing the tab frees the session: its id is gone and a new viewer gets in.
  ASSERT_TRUE(waitSessions(*server, 0));
  EXPECT_EQ(httpRequest(port, "POST", "/api/say?session=" + first, "Hi.").status, 404);
  {
    test::WsClient again(port, "/ws");
    EXPECT_FALSE(helloSession(again).empty());
  }
  // A viewer that drops the connection without a close frame is freed too.
  ASSERT_TRUE(waitSessions(*server, 0));
}

TEST(LiveServer, RefusesAnAddressItCannotBind) {
  ServerOptions opts;
  opts.address = "not-an-ip";
  EXPECT_THROW(LiveServer(opts, nullptr, nullptr), std::runtime_error);
}

}  // namespace
}  // namespace le::live
