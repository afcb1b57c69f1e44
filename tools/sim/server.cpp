#include "server.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

#include "kalvent_legged_sdk/clock.h"
#include "physics_model.h"
#include "trajectory.h"

namespace kalvent_sim {

namespace {

const char kProgram[] = "kalvent_sim";
const int64_t kNsPerSecond = 1000000000;
// Periods simulated at most to catch up after the process was held up;
// beyond that the simulated clock falls behind the wall clock.
const uint64_t kMaxCatchUp = 100;
// Datagrams taken at most per wake-up, so a flood cannot starve the state.
const int kMaxDrain = 256;
// Longest wait for the socket or the timer, ns: bounds the reaction to
// `stop` even should the timer fail.
const int64_t kMaxWaitNs = 100000000;

const char* levelName(Level level) {
  switch (level) {
    case Level::Low:
      return "low";
    case Level::High:
      return "high";
    case Level::None:
      break;
  }
  return "none";
}

ControllerConfig controllerConfig(const Options& options) {
  ControllerConfig config;
  config.model = options.model;
  config.modelKind = options.modelKind;
  config.rateHz = options.rateHz;
  return config;
}

unsigned long long ull(uint64_t v) {
  return static_cast<unsigned long long>(v);
}

}  // namespace

void printCounters(std::FILE* out, const Counters& c) {
  std::fprintf(out,
               "commands=%llu bad_checksum=%llu wrong_length=%llu state_sent=%llu state_lost=%llu "
               "state_corrupted=%llu state_duplicated=%llu state_reordered=%llu restarts=%llu "
               "ignored_while_down=%llu\n",
               ull(c.commands), ull(c.badChecksums), ull(c.wrongLengths), ull(c.stateSent),
               ull(c.faults.lost), ull(c.faults.corrupted), ull(c.faults.duplicated),
               ull(c.faults.reordered), ull(c.restarts), ull(c.ignoredWhileDown));
  std::fflush(out);
}

FileDescriptor::~FileDescriptor() {
  reset(-1);
}

void FileDescriptor::reset(int fd) {
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
}

ReadyFile::~ReadyFile() {
  if (!path_.empty()) unlink(path_.c_str());
}

bool ReadyFile::write(const std::string& path) {
  const std::string partial = path + ".partial";
  File f(std::fopen(partial.c_str(), "w"));
  if (!f) return false;
  const bool written = std::fputs("ready\n", f.get()) >= 0 && std::fflush(f.get()) == 0;
  f.reset();
  if (!written || rename(partial.c_str(), path.c_str()) != 0) {
    const int error = errno;
    unlink(partial.c_str());
    errno = error;
    return false;
  }
  path_ = path;
  return true;
}

Server::Server(const Options& options, std::FILE* out)
    : options_(options),
      out_(out),
      config_(controllerConfig(options)),
      periodNs_(kNsPerSecond / options.rateHz),
      faults_(options.faults, options.rateHz),
      restart_(options.restart) {
  startController();
}

Server::~Server() = default;

void Server::startController() {
  controller_.emplace(config_);
  answering_ = false;
}

bool Server::open() {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<uint16_t>(options_.port));
  if (inet_pton(AF_INET, options_.address.c_str(), &local.sin_addr) != 1) {
    std::fprintf(stderr, "%s: invalid address '%s'\n", kProgram, options_.address.c_str());
    return false;
  }
  socket_.reset(socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (socket_.get() < 0 ||
      bind(socket_.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    std::fprintf(stderr, "%s: cannot listen on %s:%d: %s\n", kProgram, options_.address.c_str(),
                 options_.port, std::strerror(errno));
    return false;
  }
  // The renderer starts before the clock: the film covers the run from its
  // first period.
  if (!options_.video.empty() && !video_.open(options_.video, options_.model)) return false;
  timer_.reset(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
  itimerspec interval{};
  interval.it_interval.tv_sec = periodNs_ / kNsPerSecond;
  interval.it_interval.tv_nsec = periodNs_ % kNsPerSecond;
  interval.it_value = interval.it_interval;
  if (timer_.get() < 0 || timerfd_settime(timer_.get(), 0, &interval, nullptr) != 0) {
    std::fprintf(stderr, "%s: cannot start the period timer: %s\n", kProgram, std::strerror(errno));
    return false;
  }
  if (!options_.trajectory.empty()) {
    trajectory_.reset(std::fopen(options_.trajectory.c_str(), "w"));
    if (!trajectory_) {
      std::fprintf(stderr, "%s: cannot write %s: %s\n", kProgram, options_.trajectory.c_str(),
                   std::strerror(errno));
      return false;
    }
    writeTrajectoryHeader(trajectory_.get());
  }
  if (!options_.record.empty() && !recording_.open(options_.record)) return false;
  if (!options_.readyFile.empty() && !ready_.write(options_.readyFile)) {
    std::fprintf(stderr, "%s: cannot write %s: %s\n", kProgram, options_.readyFile.c_str(),
                 std::strerror(errno));
    return false;
  }
  return true;
}

int64_t Server::elapsedNs() const {
  return KALVENT_LEGGED_SDK::monotonicNanoseconds() - startNs_;
}

void Server::printStart() {
  if (!out_) return;
  std::fprintf(out_, "%s: listening on %s:%d, model %s, state at %d Hz\n", kProgram,
               options_.address.c_str(), options_.port, modelName(options_.model), options_.rateHz);
  std::fprintf(out_, "%s: low-level robot: %s, weight_n=%.2f\n", kProgram,
               options_.modelKind == ModelKind::Physics ? "rigid bodies" : "ideal joints",
               controller_->joints().weight());
  const FaultConfig& f = options_.faults;
  if (f.active() || options_.restart.planned) {
    std::fprintf(out_,
                 "%s: faults: loss %g%% delay %g ms jitter %g ms duplicate %g%% reorder %g%% "
                 "corrupt %g%% seed %llu",
                 kProgram, f.lossPercent, f.delayMs, f.jitterMs, f.duplicatePercent,
                 f.reorderPercent, f.corruptPercent, ull(f.seed));
    if (options_.restart.planned) {
      std::fprintf(out_, ", restart at %g s for %g ms", options_.restart.atSeconds,
                   options_.restart.downMs);
    }
    std::fputc('\n', out_);
  }
  std::fflush(out_);
}

bool Server::serve(const std::atomic<bool>& stop) {
  printStart();
  startNs_ = KALVENT_LEGGED_SDK::monotonicNanoseconds();
  if (trajectory_) writeTrajectoryRow(trajectory_.get(), 0.0, *controller_);
  film();
  const int64_t durationNs = static_cast<int64_t>(options_.duration * 1e9);

  while (!stop.load()) {
    const int64_t now = elapsedNs();
    if (options_.duration > 0 && now >= durationNs) break;
    const int64_t waitNs = std::clamp<int64_t>(faults_.nextReleaseNs() - now, 0, kMaxWaitNs);
    const timespec wait{static_cast<time_t>(waitNs / kNsPerSecond),
                        static_cast<long>(waitNs % kNsPerSecond)};
    pollfd fds[2] = {{socket_.get(), POLLIN, 0}, {timer_.get(), POLLIN, 0}};
    if (ppoll(fds, 2, &wait, nullptr) < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "%s: poll: %s\n", kProgram, std::strerror(errno));
      return false;
    }
    if (fds[0].revents & POLLIN) drain();
    uint64_t expirations = 0;
    if ((fds[1].revents & POLLIN) &&
        read(timer_.get(), &expirations, sizeof expirations) == sizeof expirations) {
      advance(expirations);
      reply(elapsedNs());
    }
    faults_.release(elapsedNs(), *this);
  }

  const double elapsed = elapsedNs() / 1e9;
  // The renderer may lag behind the run: the film ends once it catches up.
  const bool filmed = video_.close();
  const bool recorded = recording_.close();
  if (out_) {
    std::fprintf(out_, "%s: stopped after %.1f s ", kProgram, elapsed);
    printCounters(out_, counters());
  }
  return filmed && recorded;
}

void Server::drain() {
  unsigned char datagram[2048];
  for (int n = 0; n < kMaxDrain; ++n) {
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    // MSG_TRUNC: the true length, so that oversized datagrams are told apart.
    const ssize_t got = recvfrom(socket_.get(), datagram, sizeof datagram, MSG_TRUNC,
                                 reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (got < 0) break;
    if (!controller_) {
      ++counters_.ignoredWhileDown;
      continue;
    }
    const Verdict v = controller_->receive(datagram, static_cast<size_t>(got));
    recording_.command(v, datagram, static_cast<size_t>(got));
    if (v == Verdict::LowCommand || v == Verdict::HighCommand) {
      peer_ = from;
      answering_ = true;
    }
  }
}

void Server::advance(uint64_t periods) {
  for (uint64_t i = 0; i < std::min(periods, kMaxCatchUp); ++i) advanceOne();
}

void Server::advanceOne() {
  ++periods_;
  switch (restart_.update(static_cast<int64_t>(periods_) * periodNs_)) {
    case RestartSchedule::Change::GoesDown:
      // The controller is gone; what it sent is still on its way.
      past_ = counters();
      controller_.reset();
      answering_ = false;
      faults_.unhold();
      break;
    case RestartSchedule::Change::ComesBack:
      startController();
      ++counters_.restarts;
      break;
    case RestartSchedule::Change::None:
      break;
  }
  if (controller_) {
    controller_->advance();
    const uint64_t trajectoryEvery =
        std::max<uint64_t>(1, static_cast<uint64_t>(options_.rateHz / kTrajectoryRate));
    if (trajectory_ && periods_ % trajectoryEvery == 0) {
      writeTrajectoryRow(trajectory_.get(), static_cast<double>(periods_) / options_.rateHz,
                         *controller_);
    }
  }
  film();
  if (out_ && periods_ % static_cast<uint64_t>(options_.rateHz) == 0) {
    std::fprintf(out_, "%s: t=%llus level=%s ", kProgram,
                 ull(periods_ / static_cast<uint64_t>(options_.rateHz)),
                 controller_ ? levelName(controller_->level()) : "down");
    printCounters(out_, counters());
  }
}

void Server::film() {
  const double seconds = static_cast<double>(periods_) / options_.rateHz;
  // Periods caught up late past the duration are not filmed: the film is
  // as long as the run was asked to be.
  if (options_.video.empty() || (options_.duration > 0 && seconds > options_.duration)) return;
  const auto* physics =
      controller_ ? dynamic_cast<const PhysicsModel*>(&controller_->joints()) : nullptr;
  video_.offer(seconds, physics ? physics->data().qpos : nullptr);
}

void Server::reply(int64_t nowNs) {
  if (!controller_ || !answering_) return;
  const size_t length = controller_->writeState(state_);
  if (length > 0) faults_.offer(state_, length, nowNs, *this);
}

void Server::send(const unsigned char* packet, size_t length) {
  if (sendto(socket_.get(), packet, length, 0, reinterpret_cast<const sockaddr*>(&peer_),
             sizeof peer_) == static_cast<ssize_t>(length)) {
    ++counters_.stateSent;
    recording_.state(packet, length);
  }
}

Counters Server::counters() const {
  Counters c = counters_;
  c.commands = past_.commands;
  c.badChecksums = past_.badChecksums;
  c.wrongLengths = past_.wrongLengths;
  if (controller_) {
    c.commands += controller_->commands();
    c.badChecksums += controller_->badChecksums();
    c.wrongLengths += controller_->wrongLengths();
  }
  c.faults = faults_.counters();
  return c;
}

}  // namespace kalvent_sim
