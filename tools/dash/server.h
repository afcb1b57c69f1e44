// The dashboard's HTTP and WebSocket server, on one I/O thread: the page's
// files from the web directory (GET and HEAD, nothing outside it), and the
// live view at /ws.
//
// Read-only: nothing the page sends changes anything (messages are read and
// dropped), and the server has no way to the robot. A WebSocket handshake is
// accepted only from the server's own origins (http://127.0.0.1:PORT,
// http://localhost:PORT and, with --bind, http://BIND:PORT); any other
// Origin, or none, is refused with 403, so that no other web site open in
// the same browser can read the robot's state.
//
// Frames go to each page at most kMaxFps times a second, the newest state
// only (states in between are dropped), and at least kMinFps times while the
// page is connected: with no news, the last state again with its link
// figures brought up to date, so that a silent link reads stale.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sample.h"
#include "view.h"

namespace kalvent_dash {

constexpr int kMaxFps = 60;
constexpr int kMinFps = 30;

struct ServerConfig {
  std::string bind = "127.0.0.1";
  uint16_t port = 8765;  // 0: any free port
  bool bindGiven = false;
  std::string webDir;
};

class WsSession;

class Server {
 public:
  // Binds and listens; throws boost::system::system_error when it cannot.
  Server(boost::asio::io_context& io, const ServerConfig& config, View& view);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // The port listened on (the one chosen when the configuration said 0).
  uint16_t port() const { return port_; }
  // Whether a WebSocket handshake with this Origin header is accepted.
  bool originAllowed(const std::string& origin) const;
  const std::string& webDir() const { return webDir_; }
  View& view() { return view_; }

  // From any thread: what a source received, handed to the I/O thread.
  void deliver(const Sample& sample, int64_t nowNs, double nowWallMs);
  void deliver(const Targets& targets, int64_t nowNs);
  void deliverRecordedLink(double loss, int64_t restarts);

  // I/O thread: a page connected or went away.
  void attach(const std::shared_ptr<WsSession>& session);

 private:
  void accept();
  void notifyAll();
  void watchStale();

  boost::asio::io_context& io_;
  boost::asio::ip::tcp::acceptor acceptor_;
  boost::asio::steady_timer staleTimer_;
  View& view_;
  std::string webDir_;
  std::vector<std::string> origins_;
  uint16_t port_ = 0;
  std::vector<std::weak_ptr<WsSession>> sessions_;
};

}  // namespace kalvent_dash
