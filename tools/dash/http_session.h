// One HTTP connection: the page's files, or the hand-over of a WebSocket
// handshake at /ws.
#pragma once

#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <memory>
#include <string>

namespace kalvent_dash {

class Server;

// The file under `webDir` that `target` (a request's target, query and all)
// names, or an empty string for a target that leaves the directory or
// names nothing there. "/" is index.html.
std::string fileFor(const std::string& webDir, const std::string& target);

class HttpSession : public std::enable_shared_from_this<HttpSession> {
 public:
  HttpSession(boost::asio::ip::tcp::socket&& socket, Server& server);
  void start() { read(); }

 private:
  using Request = boost::beast::http::request<boost::beast::http::string_body>;
  void read();
  void handle();
  void upgrade();
  void serveFile();
  template <typename Response>
  void send(std::shared_ptr<Response> response);
  void sendText(boost::beast::http::status status, const std::string& text);

  boost::beast::tcp_stream stream_;
  Server& server_;
  boost::beast::flat_buffer buffer_;
  Request request_;
};

}  // namespace kalvent_dash
