#include "machine_check.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "kalvent_legged_sdk/loop.h"

namespace kalvent_linkcheck {

namespace {

namespace sdk = KALVENT_LEGGED_SDK;

// Capability bit numbers (linux/capability.h).
constexpr int kCapIpcLock = 14;
constexpr int kCapSysNice = 23;
// What /dev/cpu_dma_latency reads while no program holds it, µs.
constexpr int32_t kNoLatencyLimit = 2000000000;

// The first line of a file, trimmed; false when it cannot be read.
bool readLine(const std::string& path, std::string* line) {
  std::ifstream in(path);
  if (!in || !std::getline(in, *line)) return false;
  const size_t end = line->find_last_not_of(" \t\r\n");
  line->resize(end == std::string::npos ? 0 : end + 1);
  return true;
}

std::string limitText(rlim_t value) {
  return value == RLIM_INFINITY ? "unlimited" : std::to_string(value);
}

std::string userName() {
  const passwd* pw = getpwuid(getuid());
  return pw ? pw->pw_name : "USER";
}

struct Capabilities {
  std::string effective = "unknown";  // CapEff as /proc shows it
  bool sysNice = false;
  bool ipcLock = false;
};

Capabilities readCapabilities() {
  Capabilities caps;
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, 7, "CapEff:") != 0) continue;
    std::istringstream fields(line.substr(7));
    fields >> caps.effective;
    const uint64_t bits = std::strtoull(caps.effective.c_str(), nullptr, 16);
    caps.sysNice = (bits >> kCapSysNice) & 1;
    caps.ipcLock = (bits >> kCapIpcLock) & 1;
  }
  return caps;
}

// A resource limit that a real-time program needs lifted, and the
// capability that lifts it as well.
struct LimitCheck {
  const char* key;  // also the limit's item in /etc/security/limits.conf
  const char* title;
  decltype(RLIMIT_RTPRIO) resource;
  const char* limitName;
  const char* unit;
  const char* capName;
  rlim_t wanted;    // the soft limit that is enough (RLIM_INFINITY: only none is)
  bool shortWarns;  // a soft limit above 0 yet short of `wanted`: a warning, not a failure
};

std::string lowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

CheckItem checkLimit(const LimitCheck& check, bool capable) {
  rlimit limit{};
  getrlimit(check.resource, &limit);
  CheckItem item;
  item.key = check.key;
  item.title = check.title;
  item.finding = std::string(check.limitName) + " " + limitText(limit.rlim_cur) + check.unit +
                 " (hard " + limitText(limit.rlim_max) + "), " + check.capName + " " +
                 (capable ? "yes" : "no");
  item.facts = Json{{"soft", limitText(limit.rlim_cur)}, {"hard", limitText(limit.rlim_max)}};
  const std::string capability = lowerCase(check.capName);
  if (capable || limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= check.wanted) {
    item.verdict = Verdict::Ok;
  } else {
    item.verdict = check.shortWarns && limit.rlim_cur > 0 ? Verdict::Warn : Verdict::Fail;
    item.fix = "add '" + userName() + " - " + check.key + " " + limitText(check.wanted) +
               "' to /etc/security/limits.conf and log in again (or: setcap " + capability +
               "+ep PROGRAM)";
  }
  item.facts[capability] = capable;
  return item;
}

CheckItem checkPriority(const Capabilities& caps) {
  const auto wanted = static_cast<rlim_t>(sdk::THREAD_PRIORITY);
  CheckItem item = checkLimit({"rtprio", "real-time priority", RLIMIT_RTPRIO, "RLIMIT_RTPRIO", "",
                               "CAP_SYS_NICE", wanted, true},
                              caps.sysNice);
  item.facts["wanted"] = sdk::THREAD_PRIORITY;
  return item;
}

// mlockall of a whole program outgrows any small limit: only none will do.
CheckItem checkMemoryLock(const Capabilities& caps) {
  CheckItem item = checkLimit({"memlock", "memory locking", RLIMIT_MEMLOCK, "RLIMIT_MEMLOCK",
                               " bytes", "CAP_IPC_LOCK", RLIM_INFINITY, false},
                              caps.ipcLock);
  item.facts["cap_eff"] = caps.effective;
  return item;
}

// Debian's real-time kernel package for this machine.
std::string realtimeKernelPackage(const std::string& machine) {
  if (machine == "x86_64") return "linux-image-rt-amd64";
  if (machine == "aarch64") return "linux-image-rt-arm64";
  if (machine.compare(0, 3, "arm") == 0) return "linux-image-rt-armmp";
  return "a PREEMPT_RT kernel";
}

bool hasWord(const std::string& text, const std::string& word) {
  std::istringstream words(text);
  std::string w;
  while (words >> w) {
    if (w == word) return true;
  }
  return false;
}

CheckItem checkPreemption() {
  utsname names{};
  uname(&names);
  const std::string version = names.version;
  std::string realtimeFlag;
  const bool realtime = (readLine("/sys/kernel/realtime", &realtimeFlag) && realtimeFlag == "1") ||
                        hasWord(version, "PREEMPT_RT");
  std::string model;
  std::string dynamicModes;
  if (realtime) {
    model = "PREEMPT_RT";
  } else if (hasWord(version, "PREEMPT_DYNAMIC")) {
    model = "PREEMPT_DYNAMIC";
    // "none voluntary (full)": the mode in force is in parentheses.
    if (readLine("/sys/kernel/debug/sched/preempt", &dynamicModes)) {
      const size_t open = dynamicModes.find('(');
      const size_t close = dynamicModes.find(')', open);
      if (open != std::string::npos && close != std::string::npos) {
        model += " (" + dynamicModes.substr(open + 1, close - open - 1) + ")";
      }
    } else {
      model += " (mode unknown: /sys/kernel/debug/sched/preempt not readable)";
    }
  } else if (hasWord(version, "PREEMPT")) {
    model = "PREEMPT (full)";
  } else {
    model = "not preemptible (none or voluntary)";
  }
  CheckItem item;
  item.key = "preemption";
  item.title = "kernel preemption";
  item.finding = model + "; uname -v: " + version;
  const bool full = model == "PREEMPT (full)" || model == "PREEMPT_DYNAMIC (full)";
  if (realtime) {
    item.verdict = Verdict::Ok;
  } else {
    item.verdict = Verdict::Warn;
    item.fix =
        "install " + realtimeKernelPackage(names.machine) + " and boot it" +
        (full || model.compare(0, 15, "PREEMPT_DYNAMIC") != 0 ? std::string()
                                                              : " (or boot with preempt=full)");
  }
  item.facts = Json{{"model", model},
                    {"realtime", realtime},
                    {"uname_v", version},
                    {"dynamic_modes", dynamicModes}};
  return item;
}

CheckItem checkGovernor() {
  const std::string base = "/sys/devices/system/cpu/";
  std::map<std::string, int> governors;  // governor -> CPUs using it
  if (DIR* dir = opendir(base.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name.size() < 4 || name.compare(0, 3, "cpu") != 0 ||
          name.find_first_not_of("0123456789", 3) != std::string::npos) {
        continue;
      }
      std::string governor;
      if (readLine(base + name + "/cpufreq/scaling_governor", &governor)) ++governors[governor];
    }
    closedir(dir);
  }
  CheckItem item;
  item.key = "governor";
  item.title = "CPU frequency governor";
  std::string list;
  for (const auto& g : governors) {
    if (!list.empty()) list += ", ";
    list += g.first + " on " + std::to_string(g.second) + " CPU" + (g.second == 1 ? "" : "s");
  }
  if (governors.empty()) {
    item.verdict = Verdict::Info;
    item.finding =
        "no cpufreq governor exposed (fixed frequency, or set by the firmware or hypervisor)";
  } else if (governors.size() == 1 && governors.count("performance") == 1) {
    item.verdict = Verdict::Ok;
    item.finding = list;
  } else {
    item.verdict = Verdict::Warn;
    item.finding = list;
    item.fix =
        "cpupower frequency-set -g performance (Debian package linux-cpupower), or write "
        "performance into " +
        base + "cpu*/cpufreq/scaling_governor";
  }
  item.facts = Json{{"governors", list}, {"present", !governors.empty()}};
  return item;
}

CheckItem checkDmaLatency() {
  const char path[] = "/dev/cpu_dma_latency";
  CheckItem item;
  item.key = "cpu_dma_latency";
  item.title = "cpu_dma_latency";
  int32_t current = -1;
  const int reader = open(path, O_RDONLY | O_CLOEXEC);
  const bool readable =
      reader >= 0 && read(reader, &current, sizeof current) == static_cast<ssize_t>(sizeof current);
  const int readError = errno;
  if (reader >= 0) close(reader);
  // Holding it means keeping it open with a limit written: try 0 and let go.
  const int writer = open(path, O_RDWR | O_CLOEXEC);
  const int32_t zero = 0;
  const bool canHold =
      writer >= 0 && write(writer, &zero, sizeof zero) == static_cast<ssize_t>(sizeof zero);
  if (writer >= 0) close(writer);
  if (!readable) {
    item.verdict = Verdict::Info;
    item.finding = std::string(path) + " not readable: " + std::strerror(readError);
  } else if (current != kNoLatencyLimit) {
    item.verdict = Verdict::Ok;
    item.finding = "held by some program: limit " + std::to_string(current) + " us";
  } else {
    item.verdict = Verdict::Warn;
    item.finding = std::string("not held (no latency limit); this tool ") +
                   (canHold ? "can" : "cannot") + " hold it";
    item.fix =
        "have the control program (or a helper) open /dev/cpu_dma_latency, write a 32-bit 0 and "
        "keep it open while it runs";
  }
  item.facts = Json{{"readable", readable},
                    {"current_us", jsonNumber(readable ? current : NAN)},
                    {"held", readable && current != kNoLatencyLimit},
                    {"can_hold", canHold}};
  return item;
}

CheckItem checkIsolatedCpus() {
  std::string isolated;
  const bool known = readLine("/sys/devices/system/cpu/isolated", &isolated);
  CheckItem item;
  item.key = "isolated_cpus";
  item.title = "isolated CPUs";
  if (!known) {
    item.verdict = Verdict::Info;
    item.finding = "unknown (/sys/devices/system/cpu/isolated not readable)";
  } else if (isolated.empty()) {
    item.verdict = Verdict::Warn;
    item.finding = "none";
    item.fix =
        "boot with isolcpus=N nohz_full=N rcu_nocbs=N and bind the control loop to CPU N "
        "(LoopFunc's bindCPU)";
  } else {
    item.verdict = Verdict::Ok;
    item.finding = isolated;
  }
  item.facts = Json{{"cpus", isolated}};
  return item;
}

}  // namespace

std::vector<CheckItem> checkMachine() {
  const Capabilities caps = readCapabilities();
  return {checkPriority(caps), checkMemoryLock(caps), checkPreemption(),
          checkGovernor(),     checkDmaLatency(),     checkIsolatedCpus()};
}

}  // namespace kalvent_linkcheck
