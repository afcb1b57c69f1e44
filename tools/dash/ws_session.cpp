#include "ws_session.h"

#include <boost/asio/buffer.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <utility>

#include "clock.h"
#include "kalvent_legged_sdk/log.h"
#include "server.h"

namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace sdk = KALVENT_LEGGED_SDK;
using Clock = boost::asio::steady_timer::clock_type;

namespace kalvent_dash {

namespace {

constexpr auto kMinInterval = std::chrono::nanoseconds(1000000000 / kMaxFps);
constexpr auto kMaxInterval = std::chrono::nanoseconds(1000000000 / kMinFps);

}  // namespace

WsSession::WsSession(beast::tcp_stream&& stream, Server& server)
    : ws_(std::move(stream)), server_(server), timer_(ws_.get_executor()) {}

void WsSession::start(const beast::http::request<beast::http::string_body>& request) {
  beast::get_lowest_layer(ws_).expires_never();
  ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
  ws_.text(true);
  ws_.async_accept(request, [self = shared_from_this()](beast::error_code ec) {
    if (ec) {
      sdk::logMessage(sdk::LogLevel::Info, "dash", "WebSocket handshake failed: %s",
                      ec.message().c_str());
      return;
    }
    self->open_ = true;
    self->server_.attach(self);
    self->readAndDrop();
    self->news_ = true;
    self->write(self->server_.view().hello());
  });
}

void WsSession::readAndDrop() {
  ws_.async_read(incoming_, [self = shared_from_this()](beast::error_code ec, size_t) {
    if (ec) {
      self->close();
      return;
    }
    // Read-only: the page has nothing to say to the robot.
    self->incoming_.consume(self->incoming_.size());
    self->readAndDrop();
  });
}

void WsSession::notify() {
  news_ = true;
  trySend();
}

void WsSession::trySend() {
  if (!open_ || writing_) return;  // the write's end tries again
  const auto now = Clock::now();
  if (news_ && now - lastSend_ >= kMinInterval) {
    const int64_t nowNs = monotonicNs();
    news_ = false;
    lastSend_ = now;
    write(server_.view().frame(nowNs));
    return;
  }
  armTimer(lastSend_ + (news_ ? kMinInterval : kMaxInterval));
}

void WsSession::write(std::string message) {
  outgoing_ = std::move(message);
  writing_ = true;
  ws_.async_write(boost::asio::buffer(outgoing_),
                  [self = shared_from_this()](beast::error_code ec, size_t) {
                    self->writing_ = false;
                    if (ec) {
                      self->close();
                      return;
                    }
                    self->trySend();
                  });
}

void WsSession::armTimer(Clock::time_point at) {
  if (timerArmed_ && timerAt_ <= at) return;
  timerArmed_ = true;
  timerAt_ = at;
  timer_.expires_at(at);
  timer_.async_wait([self = shared_from_this()](beast::error_code ec) {
    if (ec) return;  // re-armed or closed
    self->timerArmed_ = false;
    self->news_ = true;  // due: a frame with the link figures of now
    self->trySend();
  });
}

void WsSession::close() {
  open_ = false;
  timer_.cancel();
}

}  // namespace kalvent_dash
