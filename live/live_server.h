// The live demo's HTTP and WebSocket server (Boost.Beast on one I/O
// thread): serves the page, opens one LiveSession per WebSocket up to a
// limit, and takes "say" and "stop" requests for a session by its id.
//
//   GET  /                     the page
//   GET  /api/status           {"sessions":n,"maxSessions":m,"maxText":k,"busy":bool,"message":...}
//   GET  /ws (WebSocket)       a session; 503 when the limit is reached
//   POST /api/say?session=ID   body: the sentence (UTF-8 text); 202 when queued
//   POST /api/stop?session=ID  interrupts; 202
//
// Errors are proper HTTP statuses with a one-sentence plain-text body: 400
// malformed, 404 unknown path or session, 405 wrong method, 413 text or body
// too large, 415 not text, 426 /ws without an upgrade, 429 too many queued
// sentences, 431 headers too large, 503 session limit reached; 421 for a
// Host the server is not served under and 403 for a foreign Origin.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "live/frame_source.h"
#include "live/live_session.h"

namespace le::live {

struct ServerOptions {
  std::string address = "127.0.0.1";
  unsigned short port = 8080;  // 0 picks a free port
  int maxSessions = 2;
  std::size_t maxTextBytes = 1000;
  std::size_t maxBodyBytes = 16 * 1024;       // larger request bodies are refused unread
  std::size_t maxPendingBytes = 64u << 20;    // per viewer: more unsent output ends the session
  int httpTimeoutSeconds = 30;                // an HTTP request must arrive within this
  // Browsers may reach the server only under its own origin: Host must name
  // the bound address (an IP literal, or "localhost" on loopback) with the
  // port, and an upgrade or POST that carries an Origin must come from
  // "http://" + that Host. Behind a proxy, list the public names here
  // (Host values such as "avatar.example:443", origins such as
  // "https://avatar.example").
  std::vector<std::string> allowedHosts;
  std::vector<std::string> allowedOrigins;
  int maxConnections = 256;           // HTTP and WebSocket connections open at once
  int maxConnectionsPerAddress = 32;  // of those, from one client address
  int maxSessionSeconds = 1800;       // a session ends after this, however busy (0: no limit)
  int writeStallSeconds = 20;         // a viewer that takes no data for this long is dropped
  // How far ahead of real time each session pushes its synthesised speech
  // (SessionOptions::speechLead).
  std::chrono::milliseconds speechLead = SessionOptions{}.speechLead;
};

class LiveServer {
 public:
  // Binds and starts serving on its own I/O thread; throws when the address
  // cannot be bound.
  LiveServer(ServerOptions opts, SourceFactory factory, Speaker speaker);
  // Stops accepting, closes every connection and session, joins all threads.
  ~LiveServer();
  LiveServer(const LiveServer&) = delete;
  LiveServer& operator=(const LiveServer&) = delete;

  unsigned short port() const { return port_; }
  // Sessions holding an engine, counting those still shutting down.
  int sessions() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
  unsigned short port_ = 0;
};

// The page the server serves at "/".
extern const char* const kPageHtml;

}  // namespace le::live
