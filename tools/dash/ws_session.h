// One page's WebSocket: the hello, then frames paced as server.h says.
// Whatever the page sends is read and dropped.
#pragma once

#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/websocket/stream.hpp>
#include <memory>
#include <string>

namespace kalvent_dash {

class Server;

class WsSession : public std::enable_shared_from_this<WsSession> {
 public:
  WsSession(boost::beast::tcp_stream&& stream, Server& server);
  // Completes the handshake of `request` (its Origin already checked).
  void start(const boost::beast::http::request<boost::beast::http::string_body>& request);
  // News for the page: a new state, or the link turned stale.
  void notify();
  bool open() const { return open_; }

 private:
  void readAndDrop();
  void trySend();
  void write(std::string message);
  void armTimer(boost::asio::steady_timer::time_point at);
  void close();

  boost::beast::websocket::stream<boost::beast::tcp_stream> ws_;
  Server& server_;
  boost::beast::flat_buffer incoming_;
  boost::asio::steady_timer timer_;
  boost::asio::steady_timer::time_point timerAt_;
  bool timerArmed_ = false;
  boost::asio::steady_timer::time_point lastSend_;
  std::string outgoing_;
  bool writing_ = false;
  bool news_ = false;
  bool open_ = false;
};

}  // namespace kalvent_dash
