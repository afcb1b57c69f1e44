// kalvent_dash's latency and CPU cost: a publisher on the LCM bridge sends
// low-level states at 500 Hz, keeping each one's send time (CLOCK_REALTIME)
// by tick; kalvent_dash serves them to its page in headless Chromium, whose
// drawLog tells when each was drawn. Beside it, a process that only receives
// the same channel gives the raw cost of listening. Everything runs in a
// private network namespace of its own.
//
// Run:  dash_bench [SECONDS]   (default 10; root, chromium on PATH)
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <lcm/lcm-cpp.hpp>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "clock.h"
#include "dash_support.h"
#include "kalvent_legged_sdk/lcm.h"
#include "test_support.h"

namespace sdk = KALVENT_LEGGED_SDK;

namespace {

constexpr int kRateHz = 500;

// user + system CPU seconds of process `pid` so far.
double cpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14 || i == 15) ticks += std::stod(field);  // utime, stime
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// A process that receives the low-level state channel and nothing else.
pid_t startBareSubscriber() {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  lcm::LCM lcm;
  lcm.subscribeFunction(
      sdk::lowStateChannel, +[](const lcm::ReceiveBuffer*, const std::string&, void*) {},
      static_cast<void*>(nullptr));
  for (;;) lcm.handleTimeout(1000);
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1))];
}

}  // namespace

// What escapes ends the program with a line, not with std::terminate.
int main(int argc, char** argv) try {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 10;
  std::string why;
  if (!kalvent_test::enterPrivateNetwork(true, &why)) {
    std::fprintf(stderr, "dash_bench: %s\n", why.c_str());
    return 1;
  }
  if (!kalvent_test::haveChromium()) {
    std::fprintf(stderr, "dash_bench: no chromium on PATH\n");
    return 1;
  }
  const std::string dir = KALVENT_DASH_BENCH_DIR;
  kalvent_test::Dash dash({KALVENT_DASH_PROGRAM, "--port", "8765", "--web", KALVENT_DASH_WEB},
                          dir + "/dash_bench_dash.log");
  const pid_t bare = startBareSubscriber();

  std::mutex mutex;
  std::map<uint32_t, double> sentWallMs;
  std::atomic<bool> stop{false};
  std::thread publisher([&] {
    lcm::LCM lcm;
    sdk::LowState state{};
    auto next = std::chrono::steady_clock::now();
    for (uint32_t tick = 1; !stop; ++tick) {
      state.tick = tick;
      for (int k = 0; k < 12; ++k) state.motorState[k].q = 0.001f * static_cast<float>(tick % 1000);
      {
        std::lock_guard<std::mutex> lock(mutex);
        sentWallMs[tick] = kalvent_dash::wallMs();
      }
      lcm.publish(sdk::lowStateChannel, &state, sizeof state);
      next += std::chrono::microseconds(1000000 / kRateHz);
      std::this_thread::sleep_until(next);
    }
  });

  kalvent_test::Browser browser(9222, dir + "/dash_bench_chromium.log");
  int status = 1;
  if (dash.port() == 0 || !browser.open()) {
    std::fprintf(stderr, "dash_bench: kalvent_dash or Chromium did not start\n");
  } else {
    browser.call("Page.navigate", {{"url", "http://127.0.0.1:8765/"}});
    for (int i = 0; i < 100 && browser.evaluate("!!(window.kalventDash &&"
                                                " kalventDash.framesDrawn > 10)") != true;
         ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    browser.evaluate("kalventDash.drawLog.length = 0");
    const double dashCpu0 = cpuSeconds(dash.pid()), bareCpu0 = cpuSeconds(bare);
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double dashCpu = (cpuSeconds(dash.pid()) - dashCpu0) / wall;
    const double bareCpu = (cpuSeconds(bare) - bareCpu0) / wall;
    const auto log = browser.evaluate("kalventDash.drawLog");
    std::vector<double> latencies;
    {
      std::lock_guard<std::mutex> lock(mutex);
      for (const auto& entry : log) {
        const auto sent = sentWallMs.find(entry.value("tick", 0u));
        if (sent != sentWallMs.end()) {
          latencies.push_back(entry["drawnWallMs"].get<double>() - sent->second);
        }
      }
    }
    std::printf("kalvent_dash at %d Hz over %.1f s (%zu frames drawn)\n", kRateHz, wall,
                latencies.size());
    std::printf("%-44s %10s %10s\n", "", "p50", "p99");
    std::printf("%-44s %8.1f ms %7.1f ms   (goal 30 / 60)\n", "state sent -> drawn on the page",
                percentile(latencies, 0.5), percentile(latencies, 0.99));
    std::printf("%-44s %10s\n", "CPU, user+sys s per wall s", "");
    std::printf("%-44s %10.3f\n", "  kalvent_dash, one page connected", dashCpu);
    std::printf("%-44s %10.3f\n", "  bare LCM subscriber of the same channel", bareCpu);
    status = latencies.empty() ? 1 : 0;
  }
  stop = true;
  publisher.join();
  kill(bare, SIGKILL);
  waitpid(bare, nullptr, 0);
  return status;
} catch (const std::exception& e) {
  std::fprintf(stderr, "dash_bench: %s\n", e.what());
  return 1;
}
