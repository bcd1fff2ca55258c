// The server without a browser: its routes, its errors for bad requests,
// the session limit and the release of a session when its viewer leaves,
// and what it does against hostile pages and clients.
#include "live/live_server.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <thread>

#include "live/synthetic_source.h"
#include "live/test_http.h"

namespace le::live {
namespace {

using namespace std::chrono_literals;
using test::httpRequest;

ServerOptions testOptions(int maxSessions) {
  ServerOptions opts;
  opts.port = 0;
  opts.maxSessions = maxSessions;
  opts.maxTextBytes = 100;
  opts.maxBodyBytes = 1000;
  return opts;
}

std::unique_ptr<LiveServer> startServer(ServerOptions opts, SourceFactory factory = nullptr) {
  if (!factory) factory = [] { return std::make_unique<SyntheticSource>(64, 48); };
  return std::make_unique<LiveServer>(opts, std::move(factory), [](const std::string&, const SpeechPiece& piece) {
    const std::vector<int16_t> pcm(4 * kSamplesPerFrame, 1000);
    piece(pcm.data(), pcm.size());
  });
}

std::unique_ptr<LiveServer> startServer(int maxSessions) { return startServer(testOptions(maxSessions)); }

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

bool waitSessions(LiveServer& s, int n, std::chrono::seconds bound = 5s) {
  for (auto waited = 0ms; waited < bound && s.sessions() != n; waited += 10ms) std::this_thread::sleep_for(10ms);
  return s.sessions() == n;
}

// Frames of noise, which encode to large fragments and so fill a viewer's
// socket quickly.
class NoiseSource : public SyntheticSource {
 public:
  NoiseSource() : SyntheticSource(320, 240) {}
  bool pullFrame(uint8_t* rgb, std::size_t len, FrameInfo& info) override {
    if (!SyntheticSource::pullFrame(rgb, len, info)) return false;
    for (std::size_t i = 0; i < len; ++i) rgb[i] = uint8_t(rng_());
    return true;
  }

 private:
  std::minstd_rand rng_;
};

// Resident memory of this process, in MiB.
double residentMiB() {
  std::ifstream in("/proc/self/statm");
  long pages = 0, resident = 0;
  in >> pages >> resident;
  return double(resident) * double(sysconf(_SC_PAGESIZE)) / (1 << 20);
}

// Descriptors open in this process.
int openDescriptors() {
  int n = 0;
  for (int fd = 0; fd < 65536; ++fd) n += fcntl(fd, F_GETFD) != -1;
  return n;
}

TEST(LiveServer, ServesThePageStatusAndProperErrors) {
  auto server = startServer(2);
  const unsigned short port = server->port();
  auto page = httpRequest(port, "GET", "/");
  EXPECT_EQ(page.status, 200);
  EXPECT_EQ(page.headers["content-type"], "text/html; charset=utf-8");
  EXPECT_NE(page.body.find("<canvas"), std::string::npos);

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
  // A chunk-size line that never ends is refused once 64 KiB of it are in,
  // not kept whole; the rest is read and dropped, so the reply arrives.
  EXPECT_EQ(test::rawRequest(port, "POST /api/say?session=x HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n1;" +
                                       std::string(512 * 1024, 'a'),
                             &body),
            400);
  EXPECT_EQ(body, "Malformed HTTP request: buffer overflow.\n");
  // A reply to HEAD carries no body, so the next reply on the connection
  // starts right after its headers.
  {
    test::RawSocket s(port);
    const std::string host = "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
    s.send("HEAD /nope HTTP/1.1\r\n" + host + "\r\nGET /api/status HTTP/1.1\r\n" + host + "Connection: close\r\n\r\n");
    const std::string got = s.readUntil("\"message\"");
    ASSERT_EQ(got.rfind("HTTP/1.1 404", 0), 0u) << got;
    EXPECT_NE(got.find("Content-Length: 20\r\n"), std::string::npos) << got;
    EXPECT_EQ(got.substr(got.find("\r\n\r\n") + 4, 12), "HTTP/1.1 200") << got;
  }
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
  // The first frame's event, then the frame itself.
  do {
    ASSERT_TRUE(ws.read(data, binary));
    ASSERT_FALSE(binary);
  } while (data.find("\"type\":\"frame\"") == std::string::npos);
  EXPECT_NE(data.find("\"type\":\"frame\",\"n\":0,"), std::string::npos) << data;
  ASSERT_TRUE(ws.read(data, binary));
  EXPECT_TRUE(binary);
  EXPECT_EQ(data.substr(0, 4), "LEF1");

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
        "GET /ws HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
        "\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n"
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

TEST(LiveServer, AnswersOnlyItsOwnHostAndOrigin) {
  auto server = startServer(2);
  const unsigned short port = server->port();
  const std::string self = "127.0.0.1:" + std::to_string(port);
  // A name rebound to this address, or a Host without the port, is refused.
  auto foreign = httpRequest(port, "GET", "/", "", "", {{"Host", "evil.example:" + std::to_string(port)}});
  EXPECT_EQ(foreign.status, 421);
  EXPECT_EQ(foreign.body, "This server does not answer to the host name 'evil.example:" + std::to_string(port) + "'.\n");
  EXPECT_EQ(httpRequest(port, "GET", "/", "", "", {{"Host", "127.0.0.1"}}).status, 421);
  EXPECT_EQ(httpRequest(port, "GET", "/", "", "", {{"Host", "localhost:" + std::to_string(port)}}).status, 200);

  // A page elsewhere can neither take a session nor make one speak.
  {
    test::RawSocket evil(port);
    EXPECT_EQ(test::wsUpgrade(evil, port, "Origin: http://evil.example\r\n"), 403);
  }
  EXPECT_EQ(server->sessions(), 0);
  test::RawSocket own(port);
  ASSERT_EQ(test::wsUpgrade(own, port, "Origin: http://" + self + "\r\n"), 101);
  test::WsClient ws(port, "/ws");
  const std::string say = "/api/say?session=" + helloSession(ws);
  auto forged = httpRequest(port, "POST", say, "Obey.", "text/plain", {{"Origin", "http://evil.example"}});
  EXPECT_EQ(forged.status, 403);
  EXPECT_EQ(forged.body, "Requests from http://evil.example are not accepted; open the page from this server.\n");
  EXPECT_EQ(httpRequest(port, "POST", say, "Hi.", "text/plain", {{"Origin", "null"}}).status, 403);
  EXPECT_EQ(httpRequest(port, "POST", say, "Hi.", "text/plain", {{"Origin", "http://" + self}}).status, 202);

  // Behind a proxy the public names are configured.
  ServerOptions proxied = testOptions(1);
  proxied.allowedHosts = {"avatar.example"};
  proxied.allowedOrigins = {"https://avatar.example"};
  auto behind = startServer(proxied);
  test::RawSocket viaProxy(behind->port());
  EXPECT_EQ(test::wsUpgrade(viaProxy, behind->port(), "Origin: https://avatar.example\r\n"), 101);
  EXPECT_EQ(httpRequest(behind->port(), "GET", "/", "", "", {{"Host", "avatar.example"}}).status, 200);
}

TEST(LiveServer, IdleConnectionsFromOneClientCannotUseUpTheDescriptors) {
  rlimit saved{};
  getrlimit(RLIMIT_NOFILE, &saved);
  // Room for the clients' ends and about 50 of the server's.
  const int base = openDescriptors();
  rlimit low = saved;
  low.rlim_cur = rlim_t(base + 150);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  {
    auto server = startServer(2);
    std::vector<std::unique_ptr<test::RawSocket>> idle;
    for (int i = 0; i < 100; ++i) idle.push_back(std::make_unique<test::RawSocket>(server->port(), "127.0.0.2"));
    // Another client is still served, and the server keeps only the
    // per-address share of the flood (plus its own few descriptors).
    EXPECT_EQ(httpRequest(server->port(), "GET", "/api/status").status, 200);
    EXPECT_LE(openDescriptors() - base, 100 + 32 + 8);
  }
  setrlimit(RLIMIT_NOFILE, &saved);
}

TEST(LiveServer, SessionsEndAtTheirLifetimeAndAfterAProtocolError) {
  ServerOptions opts = testOptions(1);
  opts.maxSessionSeconds = 1;
  auto server = startServer(opts);
  {
    // A viewer that keeps reading is still closed, with the reason.
    test::WsClient ws(server->port(), "/ws");
    ASSERT_FALSE(helloSession(ws).empty());
    std::string data;
    bool binary = false;
    int messages = 0;  // about 50 a second
    while (messages < 5000 && ws.read(data, binary)) ++messages;
    EXPECT_LT(messages, 5000);
    EXPECT_TRUE(waitSessions(*server, 0));
  }
  auto lasting = startServer(1);
  test::RawSocket s(lasting->port());
  ASSERT_EQ(test::wsUpgrade(s, lasting->port()), 101);
  ASSERT_TRUE(waitSessions(*lasting, 1));
  // An unmasked frame from a client breaks the protocol; the client then
  // neither reads nor closes. Its engine stops within the closing grace.
  s.send(std::string("\x81\x02hi", 4));
  EXPECT_TRUE(waitSessions(*lasting, 0, 10s));
}

TEST(LiveServer, AViewerThatStopsReadingLosesItsSlotAndQueue) {
  ServerOptions opts = testOptions(1);
  opts.maxPendingBytes = 256 << 10;
  auto server = startServer(opts, [] { return std::make_unique<NoiseSource>(); });
  {
    test::RawSocket sleeper(server->port(), "", 4096);
    ASSERT_EQ(test::wsUpgrade(sleeper, server->port()), 101);
    ASSERT_TRUE(waitSessions(*server, 1));
    // Never read: the socket fills, then the queue; the slot is freed.
    EXPECT_TRUE(waitSessions(*server, 0, 60s));
  }
  test::WsClient next(server->port(), "/ws");
  EXPECT_FALSE(helloSession(next).empty());
}

TEST(LiveServer, GivesBackTheMemoryOfEndedSessions) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer holds freed memory in quarantine.";
#endif
  // A source that, like an engine, scatters allocations over its thread's
  // heap and frees them when it goes; one small block outlives it, so the
  // heap cannot simply shrink from the top.
  static std::vector<std::unique_ptr<char[]>> survivors;
  struct HeapSource : SyntheticSource {
    HeapSource() : SyntheticSource(64, 48) {
      for (int i = 0; i < 2048; ++i) {
        blocks.emplace_back(new char[24 << 10]);
        std::fill_n(blocks.back().get(), 24 << 10, char(i));
      }
      survivors.emplace_back(new char[64]);
    }
    std::vector<std::unique_ptr<char[]>> blocks;
  };
  auto server = startServer(testOptions(1), [] { return std::make_unique<HeapSource>(); });
  auto session = [&server] {
    test::WsClient ws(server->port(), "/ws");
    ASSERT_FALSE(helloSession(ws).empty());
    ws.close();
    ASSERT_TRUE(waitSessions(*server, 0));
  };
  session();  // the first also loads the encoders for good
  const double before = residentMiB();
  for (int round = 0; round < 3; ++round) session();
  // Each session held 48 MiB.
  EXPECT_LT(residentMiB() - before, 24.0);
  survivors.clear();
}

TEST(LiveServer, RefusesAnAddressItCannotBind) {
  ServerOptions opts;
  opts.address = "not-an-ip";
  EXPECT_THROW(LiveServer(opts, nullptr, nullptr), std::runtime_error);
}

}  // namespace
}  // namespace le::live
