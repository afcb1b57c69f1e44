#include "http_session.h"

#include <boost/beast/http.hpp>
#include <boost/beast/websocket/rfc6455.hpp>
#include <chrono>
#include <filesystem>
#include <utility>

#include "kalvent_legged_sdk/log.h"
#include "server.h"
#include "ws_session.h"

namespace beast = boost::beast;
namespace http = beast::http;
namespace fs = std::filesystem;
namespace sdk = KALVENT_LEGGED_SDK;

namespace kalvent_dash {

namespace {

constexpr auto kRequestTimeout = std::chrono::seconds(30);

const char* contentType(const fs::path& file) {
  const std::string ext = file.extension().string();
  if (ext == ".html") return "text/html; charset=utf-8";
  if (ext == ".js" || ext == ".mjs") return "text/javascript; charset=utf-8";
  if (ext == ".css") return "text/css; charset=utf-8";
  if (ext == ".json" || ext == ".map") return "application/json";
  if (ext == ".svg") return "image/svg+xml";
  if (ext == ".png") return "image/png";
  if (ext == ".woff2") return "font/woff2";
  return "application/octet-stream";
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The path of a target with its %XX escapes decoded; false for a bad
// escape or a NUL.
bool decodedPath(const std::string& target, std::string* path) {
  const std::string raw = target.substr(0, target.find_first_of("?#"));
  path->clear();
  for (size_t i = 0; i < raw.size(); ++i) {
    char c = raw[i];
    if (c == '%') {
      if (i + 2 >= raw.size()) return false;
      const int hi = hexValue(raw[i + 1]), lo = hexValue(raw[i + 2]);
      if (hi < 0 || lo < 0) return false;
      c = static_cast<char>(hi * 16 + lo);
      i += 2;
    }
    if (c == '\0') return false;
    path->push_back(c);
  }
  return !path->empty() && path->front() == '/';
}

}  // namespace

std::string fileFor(const std::string& webDir, const std::string& target) {
  std::string path;
  if (!decodedPath(target, &path)) return "";
  for (const auto& part : fs::path(path)) {
    if (part == "..") return "";
  }
  if (path.back() == '/') path += "index.html";
  std::error_code ec;
  const fs::path root = fs::canonical(webDir, ec);
  if (ec) return "";
  const fs::path file = fs::canonical(root / fs::path(path).relative_path(), ec);
  if (ec || !fs::is_regular_file(file, ec)) return "";
  // Also no symbolic link out of the directory.
  const auto rel = file.lexically_relative(root);
  if (rel.empty() || *rel.begin() == "..") return "";
  return file.string();
}

HttpSession::HttpSession(boost::asio::ip::tcp::socket&& socket, Server& server)
    : stream_(std::move(socket)), server_(server) {}

void HttpSession::read() {
  request_ = {};
  stream_.expires_after(kRequestTimeout);
  http::async_read(stream_, buffer_, request_,
                   [self = shared_from_this()](beast::error_code ec, size_t) {
                     if (!ec) self->handle();
                   });
}

void HttpSession::handle() {
  if (beast::websocket::is_upgrade(request_)) {
    upgrade();
  } else if (request_.method() == http::verb::get || request_.method() == http::verb::head) {
    serveFile();
  } else {
    sendText(http::status::method_not_allowed, "GET or HEAD only\n");
  }
}

void HttpSession::upgrade() {
  const std::string target(request_.target());
  if (target.substr(0, target.find('?')) != "/ws") {
    sendText(http::status::not_found, "the WebSocket is at /ws\n");
    return;
  }
  const auto origin = request_.find(http::field::origin);
  const std::string originText =
      origin == request_.end() ? "" : std::string(origin->value().data(), origin->value().size());
  if (!server_.originAllowed(originText)) {
    sdk::logMessage(sdk::LogLevel::Warning, "dash", "refused a WebSocket from origin '%s'",
                    originText.c_str());
    sendText(http::status::forbidden, "origin refused\n");
    return;
  }
  std::make_shared<WsSession>(std::move(stream_), server_)->start(request_);
}

void HttpSession::serveFile() {
  const std::string file =
      fileFor(server_.webDir(), std::string(request_.target().data(), request_.target().size()));
  if (file.empty()) {
    sendText(http::status::not_found, "not found\n");
    return;
  }
  http::file_body::value_type body;
  beast::error_code ec;
  body.open(file.c_str(), beast::file_mode::scan, ec);
  if (ec) {
    sendText(http::status::not_found, "not found\n");
    return;
  }
  const auto size = body.size();
  if (request_.method() == http::verb::head) {
    auto response =
        std::make_shared<http::response<http::empty_body>>(http::status::ok, request_.version());
    response->set(http::field::content_type, contentType(file));
    response->content_length(size);
    response->keep_alive(request_.keep_alive());
    send(response);
    return;
  }
  auto response = std::make_shared<http::response<http::file_body>>(
      std::piecewise_construct, std::make_tuple(std::move(body)),
      std::make_tuple(http::status::ok, request_.version()));
  response->set(http::field::content_type, contentType(file));
  response->set(http::field::cache_control, "no-cache");
  response->content_length(size);
  response->keep_alive(request_.keep_alive());
  send(response);
}

void HttpSession::sendText(http::status status, const std::string& text) {
  auto response = std::make_shared<http::response<http::string_body>>(status, request_.version());
  response->set(http::field::content_type, "text/plain; charset=utf-8");
  response->body() = text;
  response->prepare_payload();
  response->keep_alive(false);
  send(response);
}

template <typename Response>
void HttpSession::send(std::shared_ptr<Response> response) {
  http::async_write(
      stream_, *response, [self = shared_from_this(), response](beast::error_code ec, size_t) {
        if (ec || !response->keep_alive()) {
          beast::error_code ignored;
          self->stream_.socket().shutdown(boost::asio::ip::tcp::socket::shutdown_send, ignored);
          return;
        }
        self->read();
      });
}

}  // namespace kalvent_dash
