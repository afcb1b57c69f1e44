// The simulator's server: the controller's port, served in real time. Each
// wake-up drains the commands that came, advances the robot by the periods
// that passed, replies with a state packet and lets the packets in flight go.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "controller.h"
#include "fault.h"
#include "options.h"
#include "recording.h"
#include "video.h"

namespace kalvent_sim {

// Rows per simulated second in the trajectory file.
constexpr int kTrajectoryRate = 50;

// Counters of one run, over every controller it started.
struct Counters {
  uint64_t commands = 0;          // good commands taken
  uint64_t badChecksums = 0;      // commands ignored for their checksum
  uint64_t wrongLengths = 0;      // datagrams ignored for their length
  uint64_t stateSent = 0;         // state datagrams sent, duplicates and corrupted ones included
  FaultCounters faults;           // what the fault options did to the state packets
  uint64_t restarts = 0;          // controllers started again after an outage
  uint64_t ignoredWhileDown = 0;  // datagrams that came while the controller was down
};

// Writes the counters as "key=value" fields and a newline.
void printCounters(std::FILE* out, const Counters& counters);

// A file descriptor closed with its owner.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  ~FileDescriptor();
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  void reset(int fd);
  int get() const { return fd_; }

 private:
  int fd_;
};

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// A file that says "ready" while the server serves, removed with its owner.
class ReadyFile {
 public:
  ReadyFile() = default;
  ~ReadyFile();
  ReadyFile(const ReadyFile&) = delete;
  ReadyFile& operator=(const ReadyFile&) = delete;
  // Writes "ready\n" into `path` in one step (a reader never sees it half
  // written); false with errno set when it cannot.
  bool write(const std::string& path);

 private:
  std::string path_;
};

class Server : private PacketSink {
 public:
  Server(const Options& options, std::FILE* out);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds the port, starts the period timer, opens the trajectory file, the
  // recording and the video, and writes the ready file. False, after a line on stderr, when one
  // fails.
  bool open();

  // Serves until `stop` is set or the duration has passed. Writes a start
  // line, a status line per simulated second and a final line to `out` (none
  // when null). False, after a line on stderr, when waiting fails or the
  // film or the recording came out incomplete.
  bool serve(const std::atomic<bool>& stop);

  Counters counters() const;

 private:
  int64_t elapsedNs() const;
  // The start line, and the faults in force when there are any.
  void printStart();
  void drain();
  void advance(uint64_t periods);
  void advanceOne();
  void reply(int64_t nowNs);
  void send(const unsigned char* packet, size_t length) override;
  void startController();
  // The robot's positions for the video at the current period.
  void film();

  const Options options_;
  std::FILE* const out_;
  const ControllerConfig config_;
  const int64_t periodNs_;
  FileDescriptor socket_;
  FileDescriptor timer_;
  File trajectory_;
  Video video_;
  Recording recording_;
  ReadyFile ready_;
  std::optional<Controller> controller_;
  FaultInjector faults_;
  RestartSchedule restart_;
  Counters past_;  // of the controllers that are gone
  Counters counters_;
  uint64_t periods_ = 0;  // of the whole run, across restarts
  int64_t startNs_ = 0;
  sockaddr_in peer_{};      // where state goes: the sender of the last good command
  bool answering_ = false;  // the running controller has a peer to answer
  unsigned char state_[kMaxStateLength];
};

}  // namespace kalvent_sim
