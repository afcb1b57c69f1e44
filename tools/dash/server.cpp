#include "server.h"

#include <algorithm>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>
#include <chrono>

#include "clock.h"
#include "http_session.h"
#include "kalvent_legged_sdk/log.h"
#include "ws_session.h"

namespace asio = boost::asio;
using boost::asio::ip::tcp;
namespace sdk = KALVENT_LEGGED_SDK;

namespace kalvent_dash {

Server::Server(asio::io_context& io, const ServerConfig& config, View& view)
    : io_(io), acceptor_(io), staleTimer_(io), view_(view), webDir_(config.webDir) {
  const tcp::endpoint endpoint(asio::ip::make_address(config.bind), config.port);
  acceptor_.open(endpoint.protocol());
  acceptor_.set_option(asio::socket_base::reuse_address(true));
  acceptor_.bind(endpoint);
  acceptor_.listen();
  port_ = acceptor_.local_endpoint().port();
  const std::string port = ":" + std::to_string(port_);
  origins_ = {"http://127.0.0.1" + port, "http://localhost" + port};
  if (config.bindGiven) {
    const auto address = asio::ip::make_address(config.bind);
    origins_.push_back("http://" +
                       (address.is_v6() ? "[" + address.to_string() + "]" : address.to_string()) +
                       port);
  }
  accept();
}

Server::~Server() = default;

bool Server::originAllowed(const std::string& origin) const {
  return std::any_of(origins_.begin(), origins_.end(),
                     [&](const std::string& allowed) { return origin == allowed; });
}

void Server::accept() {
  acceptor_.async_accept([this](boost::system::error_code ec, tcp::socket socket) {
    if (ec) {
      if (ec != asio::error::operation_aborted) {
        sdk::logMessage(sdk::LogLevel::Warning, "dash", "accept: %s", ec.message().c_str());
        accept();
      }
      return;
    }
    std::make_shared<HttpSession>(std::move(socket), *this)->start();
    accept();
  });
}

void Server::attach(const std::shared_ptr<WsSession>& session) {
  std::vector<std::weak_ptr<WsSession>> kept;
  for (const auto& s : sessions_) {
    const auto live = s.lock();
    if (live && live->open()) kept.push_back(s);
  }
  kept.push_back(session);
  sessions_ = std::move(kept);
}

void Server::notifyAll() {
  for (const auto& s : sessions_) {
    if (const auto live = s.lock()) live->notify();
  }
}

void Server::watchStale() {
  const int64_t deadline = view_.staleDeadline();
  staleTimer_.expires_after(std::chrono::nanoseconds(deadline - monotonicNs()));
  staleTimer_.async_wait([this](boost::system::error_code ec) {
    if (ec) return;  // a newer state moved the deadline
    if (view_.link(monotonicNs()).stale) notifyAll();
  });
}

void Server::deliver(const Sample& sample, int64_t nowNs, double nowWallMs) {
  asio::post(io_, [this, sample, nowNs, nowWallMs] {
    if (!view_.onState(sample, nowNs, nowWallMs)) return;
    watchStale();
    notifyAll();
  });
}

void Server::deliver(const Targets& targets, int64_t nowNs) {
  asio::post(io_, [this, targets, nowNs] { view_.onTargets(targets, nowNs); });
}

void Server::deliverRecordedLink(double loss, int64_t restarts) {
  asio::post(io_, [this, loss, restarts] { view_.onRecordedLink(loss, restarts); });
}

}  // namespace kalvent_dash
