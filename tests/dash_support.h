// What the dashboard's tests and its benchmark share: programs started in
// the background, a WebSocket client, and a headless Chromium driven through
// its DevTools protocol. Every wait is bounded.
#pragma once

#include <sys/types.h>

#include <boost/asio/io_context.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/websocket/stream.hpp>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace kalvent_test {

// A program running in the background, its output into `logFile`; killed
// (SIGTERM, then SIGKILL) and reaped when destroyed.
class Program {
 public:
  Program(const std::vector<std::string>& args, const std::string& logFile);
  ~Program();
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;
  pid_t pid() const { return pid_; }
  // Stops it now (SIGTERM, SIGKILL after 5 s) and reaps it.
  void stop();

 private:
  pid_t pid_ = -1;
};

// kalvent_dash started with `args`; port() is the one its address line
// names (0 when no line came within the time).
class Dash : public Program {
 public:
  Dash(const std::vector<std::string>& args, const std::string& logFile);
  uint16_t port() const { return port_; }

 private:
  uint16_t port_ = 0;
};

// A WebSocket client on 127.0.0.1. Every call gives up after `seconds`.
class WsClient {
 public:
  // Returns "" on success, else what went wrong (for a refused handshake:
  // the HTTP status, e.g. "403").
  std::string connect(uint16_t port, const std::string& target, const std::string& origin,
                      double seconds = 10);
  // The next text message, or "" after `seconds`.
  std::string read(double seconds = 10);
  bool write(const std::string& text, double seconds = 10);

 private:
  bool runFor(double seconds, bool* done);
  boost::asio::io_context io_;
  std::unique_ptr<boost::beast::websocket::stream<boost::beast::tcp_stream>> ws_;
};

// The body of GET http://127.0.0.1:PORT/TARGET, or "" on failure.
std::string httpGet(uint16_t port, const std::string& target, double seconds = 10);

// Headless Chromium with its DevTools protocol on 127.0.0.1:debugPort, run
// from `chromium` on PATH; use inside a private network namespace.
class Browser {
 public:
  Browser(uint16_t debugPort, const std::string& logFile);
  ~Browser();
  Browser(const Browser&) = delete;
  Browser& operator=(const Browser&) = delete;
  // Whether the page target could be reached (within `seconds`).
  bool open(double seconds = 30);
  // Runs a DevTools command; the result object, or null on failure.
  nlohmann::json call(const std::string& method, const nlohmann::json& params, double seconds = 10);
  // Evaluates a JavaScript expression; its value (JSON-serialisable), or
  // null.
  nlohmann::json evaluate(const std::string& expression);

 private:
  uint16_t debugPort_;
  std::string profile_;
  std::unique_ptr<Program> program_;
  WsClient client_;
  int nextId_ = 1;
};

// Whether a `chromium` program is on PATH.
bool haveChromium();

// The bytes of base64 `text` (as DevTools sends screenshots).
std::string base64Decode(const std::string& text);

}  // namespace kalvent_test
