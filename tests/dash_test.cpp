// kalvent_dash: the link figures it learns from ticks, the files it serves,
// its origin check and that it is read-only, and the page in a real browser
// against the simulated robot standing up through the LCM bridge.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <lcm/lcm-cpp.hpp>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "dash_support.h"
#include "http_session.h"
#include "kalvent_legged_sdk/lcm.h"
#include "link_figures.h"
#include "test_support.h"
#include "view.h"

namespace sdk = KALVENT_LEGGED_SDK;
namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr int64_t kMs = 1000000;

// Runs `body` in a forked child in a private network namespace with
// multicast on lo; the child reports failed checks as "FAIL: " lines.
void inPrivateNetwork(const std::function<void()>& body, int timeoutSeconds) {
  const auto r = kalvent_test::runInPrivateNetwork(body, nullptr, timeoutSeconds);
  if (r.exited && r.status == kalvent_test::kSkipStatus) GTEST_SKIP() << r.out;
  std::printf("%s", r.out.c_str());
  EXPECT_TRUE(r.exited && r.status == 0 && r.out.find("FAIL: ") == std::string::npos)
      << "signal " << r.signal;
}

void check(bool ok, const std::string& what) {
  if (!ok) std::printf("FAIL: %s\n", what.c_str());
}

// The page's pace is the program's figure in a plain build. A sanitizer build
// runs the simulator, the bridge and the server several times slower beside
// the browser, so there the pace is printed, not judged.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kPaceJudged = false;
#else
constexpr bool kPaceJudged = true;
#endif

void checkPace(bool ok, const std::string& what) {
  check(ok || !kPaceJudged, what);
}

// Everything published on the bridge's four channels, counted, and the low
// states kept by tick with their arrival times; in a thread of its own.
class BridgeWatch {
 public:
  BridgeWatch() {
    for (const char* channel :
         {sdk::lowStateChannel, sdk::highStateChannel, sdk::lowCmdChannel, sdk::highCmdChannel}) {
      lcm_.subscribeFunction(channel, &BridgeWatch::onMessage, this);
    }
    thread_ = std::thread([this] {
      while (!stop_) lcm_.handleTimeout(50);
    });
  }
  ~BridgeWatch() {
    stop_ = true;
    thread_.join();
  }
  int count(const std::string& channel) {
    std::lock_guard<std::mutex> lock(mutex_);
    return counts_[channel];
  }
  // The state of `tick`'s joint angles, if it was seen.
  bool anglesOf(uint32_t tick, std::array<float, 12>* q) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = angles_.find(tick);
    if (it == angles_.end()) return false;
    *q = it->second;
    return true;
  }
  // CLOCK_REALTIME ms of the newest state that carried a new tick before
  // `wallMs`.
  double lastNewsBefore(double wallMs) {
    std::lock_guard<std::mutex> lock(mutex_);
    double last = NAN;
    for (const double t : news_) {
      if (t < wallMs) last = t;
    }
    return last;
  }

 private:
  static void onMessage(const lcm::ReceiveBuffer* b, const std::string& channel,
                        BridgeWatch* self) {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    std::lock_guard<std::mutex> lock(self->mutex_);
    ++self->counts_[channel];
    if (channel != sdk::lowStateChannel || b->data_size != sizeof(sdk::LowState)) return;
    sdk::LowState state;
    std::memcpy(&state, b->data, sizeof state);
    std::array<float, 12> q;
    for (int k = 0; k < 12; ++k) q[k] = state.motorState[k].q;
    if (self->angles_.size() > 20000) self->angles_.clear();
    const uint32_t tick = state.tick;  // a copy: the record's field is packed
    if (self->angles_.emplace(tick, q).second) {
      self->news_.push_back(now.tv_sec * 1e3 + now.tv_nsec * 1e-6);
    }
  }

  lcm::LCM lcm_;
  std::mutex mutex_;
  std::map<std::string, int> counts_;
  std::map<uint32_t, std::array<float, 12>> angles_;
  std::vector<double> news_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A message as JSON; an empty object for anything else.
json parsed(const std::string& text) {
  json message = json::parse(text, nullptr, false);
  return message.is_object() ? message : json::object();
}

std::string logPath(const std::string& name) {
  return std::string(KALVENT_DASH_TEST_DIR) + "/dash_" + name + ".log";
}

}  // namespace

TEST(DashLinkFigures, LossAgeStaleEpisodesAndRestarts) {
  kalvent_dash::LinkFigures link(50);
  EXPECT_TRUE(link.at(0).stale);
  EXPECT_TRUE(std::isnan(link.at(0).stateAgeMs));
  // A millisecond tick at 500 Hz for 0.5 s, one state in ten lost.
  int64_t now = 0;
  for (uint32_t i = 0; i < 250; ++i, now += 2 * kMs) {
    if (i % 10 != 5) {
      EXPECT_TRUE(link.onState(1000 + 2 * i, now));
    }
  }
  EXPECT_FALSE(link.onState(1000 + 2 * 249, now)) << "a repeat is no news";
  EXPECT_FALSE(link.onState(1000 + 2 * 240, now)) << "a state overtaken is no news";
  kalvent_dash::LinkSnapshot s = link.at(now);
  EXPECT_NEAR(s.loss, 0.1, 0.01);
  EXPECT_NEAR(s.stateAgeMs, 2, 1e-9);
  EXPECT_FALSE(s.stale);
  // Silent for 60 ms: stale, one episode however often asked.
  link.at(now + 60 * kMs);
  s = link.at(now + 70 * kMs);
  EXPECT_TRUE(s.stale);
  EXPECT_EQ(s.staleEpisodes, 1);
  // A controller started afresh: tick from 0.
  EXPECT_TRUE(link.onState(0, now + 80 * kMs));
  s = link.at(now + 80 * kMs);
  EXPECT_FALSE(s.stale);
  EXPECT_EQ(s.restarts, 1);
  EXPECT_EQ(s.staleEpisodes, 1);
}

TEST(DashFiles, OnlyFilesInsideTheWebDirectory) {
  const fs::path web = fs::path(KALVENT_DASH_TEST_DIR) / "dash_files_web";
  fs::remove_all(web);
  fs::create_directories(web / "sub");
  std::ofstream(web / "index.html") << "page";
  std::ofstream(web / "sub" / "a.js") << "js";
  std::ofstream(web.parent_path() / "dash_files_outside.txt") << "outside";
  fs::create_symlink("/etc/hostname", web / "out");
  const std::string root = fs::canonical(web).string();
  EXPECT_EQ(kalvent_dash::fileFor(root, "/"), root + "/index.html");
  EXPECT_EQ(kalvent_dash::fileFor(root, "/sub/a.js?v=1"), root + "/sub/a.js");
  EXPECT_EQ(kalvent_dash::fileFor(root, "/sub/%61.js"), root + "/sub/a.js");
  for (const char* outside : {"/../dash_files_outside.txt", "/sub/../../dash_files_outside.txt",
                              "/%2e%2e/dash_files_outside.txt", "/%2E%2E%2Fdash_files_outside.txt",
                              "/out", "/sub", "/missing", "/a%00", "x", "/%2"}) {
    EXPECT_EQ(kalvent_dash::fileFor(root, outside), "") << outside;
  }
  fs::remove_all(web);
}

// The handshake's Origin decides; nothing the page sends changes what it is
// shown or reaches the bridge.
TEST(DashServer, OriginCheckedAndReadOnly) {
  inPrivateNetwork(
      [] {
        BridgeWatch watch;
        kalvent_test::Dash dash({KALVENT_DASH_PROGRAM, "--port", "0", "--web", KALVENT_DASH_WEB},
                                logPath("server"));
        const uint16_t port = dash.port();
        check(port != 0, "no address line");
        const std::string own = "http://127.0.0.1:" + std::to_string(port);
        for (const std::string& origin :
             std::vector<std::string>{"http://evil.example", "http://127.0.0.1:1", "", "null",
                                      "https://127.0.0.1:" + std::to_string(port)}) {
          kalvent_test::WsClient foreign;
          const std::string outcome = foreign.connect(port, "/ws", origin);
          check(outcome == "403", "origin '" + origin + "': " + outcome);
        }
        kalvent_test::WsClient page;
        const std::string outcome = page.connect(port, "/ws", own);
        check(outcome.empty(), "own origin: " + outcome);
        const json hello = parsed(page.read());
        check(hello.value("type", "") == "hello", "no hello");

        lcm::LCM lcm;
        sdk::LowState state{};
        state.tick = 4242;
        state.motorState[7].q = 0.625f;
        lcm.publish(sdk::lowStateChannel, &state, sizeof state);
        // Frames come at least 30 a second; 10 s is the bound.
        json frame = json::object();
        for (int i = 0; i < 300 && frame.value("tick", 0u) != 4242u; ++i) {
          frame = parsed(page.read());
        }
        check(frame.value("tick", 0u) == 4242u && frame["q"][7] == 0.625, "state not shown");
        for (const char* message :
             {R"({"type":"ping"})", R"({"type":"cmd","q":[1,1,1,1,1,1,1,1,1,1,1,1]})",
              R"({"type":"frame","tick":1,"q":[9,9,9,9,9,9,9,9,9,9,9,9]})", "not json"}) {
          check(page.write(message), "the page could not send");
        }
        for (int i = 0; i < 10; ++i) frame = parsed(page.read());
        check(frame.value("tick", 0u) == 4242u && frame["q"][7] == 0.625,
              "a message from the page changed the view");
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        check(watch.count(sdk::lowStateChannel) == 1, "something else published a low state");
        for (const char* channel :
             {sdk::lowCmdChannel, sdk::highCmdChannel, sdk::highStateChannel}) {
          check(watch.count(channel) == 0, std::string("published on ") + channel);
        }
      },
      60);
}

// The page in headless Chromium, against kalvent_sim standing the robot up
// through lcm_relay and lcm_controller. The simulator's controller goes away
// at kRestartAt s for 2 s: the link panel must turn stale.
TEST(DashBrowser, LiveRobotThroughTheBridge) {
  if (!kalvent_test::haveChromium()) GTEST_SKIP() << "no chromium on PATH";
  inPrivateNetwork(
      [] {
        constexpr int kRestartAt = 12;
        constexpr uint16_t kDebugPort = 9222;  // the namespace's own loopback
        BridgeWatch watch;
        // Chromium first: its start loads the machine, and a simulator
        // starved meanwhile would trip the relay's power guard.
        kalvent_test::Browser browser(kDebugPort, logPath("chromium"));
        if (!browser.open()) return check(false, "Chromium's DevTools did not answer");
        std::vector<std::string> sim{KALVENT_SIM_PROGRAM, "--duration", "30", "--restart",
                                     std::to_string(kRestartAt) + ":2000"};
        // At a real-time priority where allowed: a starved simulator falls
        // silent and reads stale.
        if (std::system("chrt -f 50 true >/dev/null 2>&1") == 0) {
          sim.insert(sim.begin(), {"chrt", "-f", "50"});
        }
        kalvent_test::Program simulator(sim, logPath("sim"));
        kalvent_test::Program relay({KALVENT_LCM_RELAY, "25"}, logPath("relay"));
        // The controller once the relay passes states on, as the demo starts them.
        for (int i = 0; i < 100 && watch.count(sdk::lowStateChannel) == 0; ++i) {  // 10 s
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        kalvent_test::Program controller({KALVENT_LCM_CONTROLLER, "25"}, logPath("controller"));
        kalvent_test::Dash dash({KALVENT_DASH_PROGRAM, "--port", "8765", "--web", KALVENT_DASH_WEB},
                                logPath("browser_dash"));
        check(dash.port() == 8765, "no address line");
        browser.call("Page.navigate", {{"url", "http://127.0.0.1:8765/"}});
        // The moment the panel turns stale, taken by the page itself.
        const char* watchStale =
            "(() => { const p = document.getElementById('link-panel'); if (!p) return false;"
            " window.__staleAt = []; new MutationObserver((changes) => { for (const c of changes)"
            " if (c.oldValue !== 'true' && p.dataset.stale === 'true')"
            " window.__staleAt.push(performance.timeOrigin + performance.now()); })"
            ".observe(p, {attributes: true, attributeOldValue: true,"
            " attributeFilter: ['data-stale']}); return true; })()";
        bool ready = false;
        for (int i = 0; i < 100 && !ready; ++i) {  // 20 s
          std::this_thread::sleep_for(std::chrono::milliseconds(200));
          ready = browser.evaluate(
                      "!!(window.kalventDash && kalventDash.lastDrawn &&"
                      " kalventDash.lastDrawn.stale === false)") == true;
        }
        if (!ready) return check(false, "the page showed no fresh state within 20 s");
        check(browser.evaluate(watchStale) == true, "no #link-panel");

        // Frames reach the page at the server's pace; the page draws each
        // animation frame that has news, at whatever pace the browser's
        // software rendering on this machine keeps.
        const char* count =
            "[kalventDash.framesReceived, kalventDash.framesDrawn, performance.now()]";
        const json before = browser.evaluate(count);
        std::this_thread::sleep_for(std::chrono::seconds(2));
        const json after = browser.evaluate(count);
        const double seconds = (after[2].get<double>() - before[2].get<double>()) / 1e3;
        const double received = (after[0].get<double>() - before[0].get<double>()) / seconds;
        const double drawn = (after[1].get<double>() - before[1].get<double>()) / seconds;
        std::printf("frames: %.1f received, %.1f drawn per second\n", received, drawn);
        checkPace(received >= 25, "fewer than 25 frames a second reached the page");
        check(drawn >= 2, "the page stopped drawing");

        const json shown = browser.evaluate(
            "({tick: kalventDash.lastDrawn.tick, q: kalventDash.lastDrawn.q,"
            " text: [...Array(12).keys()].map(i => document.getElementById('joint-q-' + i)"
            ".textContent)})");
        std::array<float, 12> sent;
        if (!watch.anglesOf(shown["tick"].get<uint32_t>(), &sent)) {
          return check(false, "the page shows a tick never sent");
        }
        double worst = 0;
        for (int k = 0; k < 12; ++k) {
          worst = std::fmax(worst, std::fabs(shown["q"][k].get<double>() - sent[k]));
          worst =
              std::fmax(worst, std::fabs(std::stod(shown["text"][k].get<std::string>()) - sent[k]));
        }
        std::printf("joint angles shown vs sent (tick %u): worst %.6f rad\n",
                    shown["tick"].get<uint32_t>(), worst);
        check(worst <= 1e-3, "a joint angle shown differs from the state sent");

        const json shot = browser.call("Page.captureScreenshot", {{"format", "png"}});
        const std::string png = std::string(KALVENT_DASH_TEST_DIR) + "/dash_screenshot.png";
        std::ofstream(png, std::ios::binary)
            << kalvent_test::base64Decode(shot.is_null() ? "" : shot.value("data", ""));
        check(fs::file_size(png) > 1000, "no screenshot");
        std::printf("screenshot: %s\n", png.c_str());

        // The controller goes away at kRestartAt simulated seconds.
        json staleAt;
        for (int i = 0; i < 150 && (staleAt.is_null() || staleAt.empty()); ++i) {  // 30 s
          std::this_thread::sleep_for(std::chrono::milliseconds(200));
          if (browser.evaluate("kalventDash.lastDrawn.stale") == true) {
            staleAt = browser.evaluate("window.__staleAt");
          }
        }
        if (staleAt.is_null() || staleAt.empty()) return check(false, "never turned stale");
        const double turned = staleAt.back().get<double>();
        const double lastNews = watch.lastNewsBefore(turned);
        std::printf("stale shown %.1f ms after the last new state (threshold %g ms)\n",
                    turned - lastNews, kalvent_dash::kStaleAfterMs);
        checkPace(turned - lastNews <= 100, "stale shown later than 100 ms");
      },
      120);
}
