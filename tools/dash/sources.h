// Where the states come from. Each source runs a thread of its own and hands
// what it receives to the server's I/O thread (Server::deliver); it never
// sends anything anywhere.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

namespace lcm {
class LCM;
}

namespace kalvent_dash {

class Server;

// The LCM bridge's four channels, as a program on the state side sees them
// (the bridge's SubscribeState side, without ever publishing): whichever
// level's state flows, and the low-level commands' position targets.
class LcmSource {
 public:
  // Throws std::runtime_error when LCM cannot be set up.
  explicit LcmSource(Server& server);
  ~LcmSource();
  LcmSource(const LcmSource&) = delete;
  LcmSource& operator=(const LcmSource&) = delete;

  // The provider URL, for the page ("default" when LCM_DEFAULT_URL is unset).
  static std::string url();

 private:
  void run();

  Server& server_;
  std::unique_ptr<lcm::LCM> lcm_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A recording replayed with its recorded timing, `speed` times as fast.
class ReplaySource {
 public:
  // Throws std::runtime_error when the file cannot be opened.
  ReplaySource(Server& server, const std::string& path, double speed);
  ~ReplaySource();
  ReplaySource(const ReplaySource&) = delete;
  ReplaySource& operator=(const ReplaySource&) = delete;

 private:
  void run();

  Server& server_;
  std::string path_;
  double speed_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace kalvent_dash
