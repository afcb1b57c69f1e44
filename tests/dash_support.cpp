#include "dash_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using asio::ip::tcp;

namespace kalvent_test {

namespace {

std::chrono::nanoseconds duration(double seconds) {
  return std::chrono::nanoseconds(static_cast<int64_t>(seconds * 1e9));
}

}  // namespace

Program::Program(const std::vector<std::string>& args, const std::string& logFile) {
  // Emptied before the fork: nothing of an earlier run is read as this one's.
  const int log = open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  pid_ = fork();
  if (pid_ != 0) {
    if (log >= 0) close(log);
    return;
  }
  if (log >= 0) {
    dup2(log, STDOUT_FILENO);
    dup2(log, STDERR_FILENO);
  }
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execvp(argv[0], argv.data());
  _exit(127);
}

Program::~Program() {
  stop();
}

void Program::stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  int status = 0;
  for (int i = 0; i < 100; ++i) {  // 5 s
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, &status, 0);
  pid_ = -1;
}

Dash::Dash(const std::vector<std::string>& args, const std::string& logFile)
    : Program(args, logFile) {
  // The address line: "kalvent_dash: open http://HOST:PORT/".
  const std::string prefix = "kalvent_dash: open http://";
  for (int i = 0; i < 200 && port_ == 0; ++i) {  // 10 s
    std::ifstream in(logFile);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t at = text.find(prefix);
    const size_t colon = at == std::string::npos ? at : text.find(':', at + prefix.size());
    const size_t slash = colon == std::string::npos ? colon : text.find('/', colon);
    if (slash != std::string::npos) {
      port_ = static_cast<uint16_t>(std::strtoul(text.c_str() + colon + 1, nullptr, 10));
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
}

bool WsClient::runFor(double seconds, bool* done) {
  io_.restart();
  io_.run_for(duration(seconds));
  if (!*done) {
    if (ws_) beast::get_lowest_layer(*ws_).cancel();
    io_.restart();
    io_.run_for(std::chrono::seconds(1));
  }
  return *done;
}

std::string WsClient::connect(uint16_t port, const std::string& target, const std::string& origin,
                              double seconds) {
  ws_ = std::make_unique<websocket::stream<beast::tcp_stream>>(io_);
  beast::error_code ec;
  beast::get_lowest_layer(*ws_).connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port),
                                        ec);
  if (ec) return "connect: " + ec.message();
  if (!origin.empty()) {
    ws_->set_option(websocket::stream_base::decorator(
        [origin](websocket::request_type& r) { r.set(http::field::origin, origin); }));
  }
  websocket::response_type response;
  bool done = false;
  ws_->async_handshake(response, "127.0.0.1:" + std::to_string(port), target,
                       [&](beast::error_code e) {
                         ec = e;
                         done = true;
                       });
  if (!runFor(seconds, &done)) return "handshake timed out";
  if (ec) return std::to_string(response.result_int());
  return "";
}

std::string WsClient::read(double seconds) {
  beast::flat_buffer buffer;
  bool done = false;
  beast::error_code ec;
  ws_->async_read(buffer, [&](beast::error_code e, size_t) {
    ec = e;
    done = true;
  });
  if (!runFor(seconds, &done) || ec) return "";
  return beast::buffers_to_string(buffer.data());
}

bool WsClient::write(const std::string& text, double seconds) {
  bool done = false;
  beast::error_code ec;
  ws_->text(true);
  ws_->async_write(asio::buffer(text), [&](beast::error_code e, size_t) {
    ec = e;
    done = true;
  });
  return runFor(seconds, &done) && !ec;
}

std::string httpGet(uint16_t port, const std::string& target, double seconds) {
  asio::io_context io;
  beast::tcp_stream stream(io);
  http::request<http::empty_body> request(http::verb::get, target, 11);
  request.set(http::field::host, "127.0.0.1");
  http::response<http::string_body> response;
  beast::flat_buffer buffer;
  bool ok = false;
  stream.expires_after(duration(seconds));
  stream.async_connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port),
                       [&](beast::error_code ec) {
                         if (ec) return;
                         http::async_write(stream, request, [&](beast::error_code ec, size_t) {
                           if (ec) return;
                           http::async_read(stream, buffer, response,
                                            [&](beast::error_code ec, size_t) { ok = !ec; });
                         });
                       });
  io.run();
  return ok && response.result() == http::status::ok ? response.body() : "";
}

std::string base64Decode(const std::string& text) {
  std::string out;
  uint32_t bits = 0;
  int count = 0;
  for (const char c : text) {
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const char* at = c == '\0' ? nullptr : std::strchr(alphabet, c);
    if (at == nullptr) continue;  // padding
    bits = (bits << 6) | static_cast<uint32_t>(at - alphabet);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out.push_back(static_cast<char>((bits >> count) & 0xFF));
    }
  }
  return out;
}

bool haveChromium() {
  return std::system("command -v chromium >/dev/null 2>&1") == 0;
}

Browser::Browser(uint16_t debugPort, const std::string& logFile) : debugPort_(debugPort) {
  char dir[] = "/tmp/kalvent_dash_profile.XXXXXX";
  if (mkdtemp(dir) != nullptr) profile_ = dir;  // else Chromium's default profile
  program_ = std::make_unique<Program>(
      std::vector<std::string>{
          "chromium", "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
          "--disable-extensions", "--disable-background-networking", "--window-size=1280,800",
          profile_.empty() ? "--incognito" : "--user-data-dir=" + profile_,
          "--remote-debugging-address=127.0.0.1",
          "--remote-debugging-port=" + std::to_string(debugPort), "about:blank"},
      logFile);
}

Browser::~Browser() {
  program_.reset();
  std::error_code ignored;
  if (!profile_.empty()) std::filesystem::remove_all(profile_, ignored);
}

bool Browser::open(double seconds) {
  const auto giveUp = std::chrono::steady_clock::now() + duration(seconds);
  while (std::chrono::steady_clock::now() < giveUp) {
    const std::string list = httpGet(debugPort_, "/json/list", 2);
    if (!list.empty()) {
      for (const auto& target : nlohmann::json::parse(list, nullptr, false)) {
        if (target.value("type", "") != "page") continue;
        const std::string url = target.value("webSocketDebuggerUrl", "");
        const auto path = url.find('/', std::string("ws://").size());
        if (path != std::string::npos && client_.connect(debugPort_, url.substr(path), "") == "") {
          return true;
        }
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return false;
}

nlohmann::json Browser::call(const std::string& method, const nlohmann::json& params,
                             double seconds) {
  const int id = nextId_++;
  if (!client_.write(nlohmann::json{{"id", id}, {"method", method}, {"params", params}}.dump())) {
    return nullptr;
  }
  const auto giveUp = std::chrono::steady_clock::now() + duration(seconds);
  // Events may come before the answer: skipped.
  while (std::chrono::steady_clock::now() < giveUp) {
    const std::string text = client_.read(seconds);
    if (text.empty()) return nullptr;
    const auto message = nlohmann::json::parse(text, nullptr, false);
    if (message.value("id", 0) == id) {
      return message.contains("result") ? message["result"] : nlohmann::json(nullptr);
    }
  }
  return nullptr;
}

nlohmann::json Browser::evaluate(const std::string& expression) {
  const auto r = call("Runtime.evaluate", {{"expression", expression}, {"returnByValue", true}});
  if (r.is_null() || r.contains("exceptionDetails")) return nullptr;
  return r["result"].value("value", nlohmann::json(nullptr));
}

}  // namespace kalvent_test
