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
// sentences, 431 headers too large, 503 session limit reached.
#pragma once

#include <atomic>
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
