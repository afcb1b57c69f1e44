// kalvent_log csv: one file per record type, one row per record, one named
// column per field. Per-motor fields get one column per leg joint (FR_hip
// ... RL_calf, the twelve slots in use), per-leg fields one per leg.
#include <sys/stat.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "kalvent_legged_sdk/quadruped.h"
#include "log_tool.h"
#include "record_codec.h"

namespace sdk = KALVENT_LEGGED_SDK;

namespace kalvent_log_tool {

namespace {

const char* const kLegs[4] = {"FR", "FL", "RR", "RL"};
const char* const kJoints[3] = {"hip", "thigh", "calf"};
const char* const kAxes[3] = {"x", "y", "z"};
constexpr int kLegJoints = 12;

static_assert(sdk::FR_ == 0 && sdk::FL_ == 1 && sdk::RR_ == 2 && sdk::RL_ == 3, "leg order");

// One CSV file: the first row written also writes the header line.
class Table {
 public:
  explicit Table(std::FILE* file) : file_(file) {}
  ~Table() { std::fclose(file_); }

  template <typename Value>
  void put(const std::string& name, Value value) {
    if (!headerDone_) names_ += (names_.empty() ? "" : ",") + name;
    values_ += values_.empty() ? "" : ",";
    values_ += format(value);
  }
  template <typename Value>
  void perJoint(const std::string& field, const Value* values) {
    for (int k = 0; k < kLegJoints; ++k) {
      put(std::string(kLegs[k / 3]) + "_" + kJoints[k % 3] + "_" + field, values[k]);
    }
  }
  template <typename Value>
  void perLeg(const std::string& field, const Value* values) {
    for (int leg = 0; leg < 4; ++leg) put(field + "_" + kLegs[leg], values[leg]);
  }
  template <typename Value>
  void vector(const std::string& field, const Value* values, int count) {
    for (int i = 0; i < count; ++i) put(field + "_" + std::to_string(i), values[i]);
  }
  void endRow() {
    if (!headerDone_) std::fprintf(file_, "%s\n", names_.c_str());
    headerDone_ = true;
    std::fprintf(file_, "%s\n", values_.c_str());
    values_.clear();
  }
  bool failed() const { return std::fflush(file_) != 0 || std::ferror(file_) != 0; }

 private:
  static std::string format(float value) { return formatDouble(value); }
  static std::string format(double value) { return formatDouble(value); }
  template <typename Integer>
  static std::string format(Integer value) {
    return std::to_string(static_cast<long long>(value));
  }
  // Shortest text that reads back as the same float.
  static std::string formatDouble(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
  }

  std::FILE* file_;
  bool headerDone_ = false;
  std::string names_;
  std::string values_;
};

template <typename Record>
void header(Table& t, const Record& r, int64_t startNs) {
  t.put("time_s", static_cast<double>(r.monotonic_ns - startNs) * 1e-9);
  t.put("monotonic_ns", r.monotonic_ns);
  t.put("level_flag", r.level_flag);
  t.put("comm_version", r.comm_version);
  t.put("robot_id", r.robot_id);
  t.put("sn", r.sn);
  t.put("band_width", r.band_width);
}

template <typename Record>
void imu(Table& t, const Record& r) {
  t.vector("quaternion", r.quaternion, 4);
  t.vector("gyroscope", r.gyroscope, 3);
  t.vector("accelerometer", r.accelerometer, 3);
  t.vector("rpy", r.rpy, 3);
  t.put("imu_temperature", r.imu_temperature);
}

void row(Table& t, const kalvent_log::low_state& r, int64_t startNs) {
  header(t, r, startNs);
  imu(t, r);
  t.perJoint("mode", r.mode);
  t.perJoint("q", r.q);
  t.perJoint("dq", r.dq);
  t.perJoint("ddq", r.ddq);
  t.perJoint("tau_est", r.tau_est);
  t.perJoint("q_raw", r.q_raw);
  t.perJoint("dq_raw", r.dq_raw);
  t.perJoint("ddq_raw", r.ddq_raw);
  t.perJoint("temperature", r.temperature);
  t.perLeg("foot_force", r.foot_force);
  t.perLeg("foot_force_est", r.foot_force_est);
  t.put("tick", r.tick);
}

void row(Table& t, const kalvent_log::low_cmd& r, int64_t startNs) {
  header(t, r, startNs);
  t.perJoint("mode", r.mode);
  t.perJoint("q", r.q);
  t.perJoint("dq", r.dq);
  t.perJoint("tau", r.tau);
  t.perJoint("kp", r.kp);
  t.perJoint("kd", r.kd);
  t.vector("led", r.led, 12);
}

void row(Table& t, const kalvent_log::high_state& r, int64_t startNs) {
  header(t, r, startNs);
  t.put("mode", r.mode);
  imu(t, r);
  t.put("forward_speed", r.forward_speed);
  t.put("side_speed", r.side_speed);
  t.put("rotate_speed", r.rotate_speed);
  t.put("body_height", r.body_height);
  t.put("updown_speed", r.updown_speed);
  t.put("forward_position", r.forward_position);
  t.put("side_position", r.side_position);
  for (int leg = 0; leg < 4; ++leg) {
    for (int axis = 0; axis < 3; ++axis) {
      const std::string suffix = std::string("_") + kLegs[leg] + "_" + kAxes[axis];
      t.put("foot_position_to_body" + suffix, r.foot_position_to_body[leg][axis]);
      t.put("foot_speed_to_body" + suffix, r.foot_speed_to_body[leg][axis]);
    }
  }
  t.perLeg("foot_force", r.foot_force);
  t.perLeg("foot_force_est", r.foot_force_est);
  t.put("tick", r.tick);
}

void row(Table& t, const kalvent_log::high_cmd& r, int64_t startNs) {
  header(t, r, startNs);
  t.put("mode", r.mode);
  t.put("forward_speed", r.forward_speed);
  t.put("side_speed", r.side_speed);
  t.put("rotate_speed", r.rotate_speed);
  t.put("body_height", r.body_height);
  t.put("foot_raise_height", r.foot_raise_height);
  t.put("yaw", r.yaw);
  t.put("pitch", r.pitch);
  t.put("roll", r.roll);
  t.vector("led", r.led, 12);
}

void row(Table& t, const kalvent_log::link_health& r, int64_t startNs) {
  t.put("time_s", static_cast<double>(r.monotonic_ns - startNs) * 1e-9);
  t.put("monotonic_ns", r.monotonic_ns);
  t.put("state_age_s", r.state_age_s);
  t.put("valid_packets", r.valid_packets);
  t.put("empty_polls", r.empty_polls);
  t.put("checksum_failures", r.checksum_failures);
  t.put("tick_restarts", r.tick_restarts);
  t.put("recent_loss", r.recent_loss);
  t.put("overall_loss", r.overall_loss);
  t.put("commands_recorded", r.commands_recorded);
  t.put("states_recorded", r.states_recorded);
  t.put("commands_dropped", r.commands_dropped);
  t.put("states_dropped", r.states_dropped);
}

struct Writer {
  std::map<std::string, std::unique_ptr<Table>> tables;
  std::string directory;
  int64_t startNs = -1;
  bool failed = false;

  template <typename Record>
  void add(const sdk::LogEvent& event, const char* name) {
    Record record{};
    if (record.decode(event.data.data(), 0, static_cast<int>(event.data.size())) < 0) {
      std::fprintf(stderr, "kalvent_log: event %" PRId64 " on %s does not decode as %s\n",
                   event.number, event.channel.c_str(), name);
      failed = true;
      return;
    }
    if (startNs < 0) startNs = record.monotonic_ns;
    std::unique_ptr<Table>& table = tables[name];
    if (!table) {
      const std::string path = directory + "/" + name + ".csv";
      std::FILE* file = std::fopen(path.c_str(), "w");
      if (file == nullptr) {
        std::fprintf(stderr, "kalvent_log: %s: %s\n", path.c_str(), std::strerror(errno));
        failed = true;
        return;
      }
      table = std::make_unique<Table>(file);
      std::printf("%s\n", path.c_str());
    }
    row(*table, record, startNs);
    table->endRow();
  }
};

}  // namespace

int writeCsv(const Recording& recording, const std::string& directory) {
  if (mkdir(directory.c_str(), 0755) != 0 && errno != EEXIST) {
    std::fprintf(stderr, "kalvent_log: %s: %s\n", directory.c_str(), std::strerror(errno));
    return 1;
  }
  Writer writer;
  writer.directory = directory;
  recording.forEach([&writer](const sdk::LogEvent& event) {
    if (event.channel == sdk::kRecordedLowState) {
      writer.add<kalvent_log::low_state>(event, "low_state");
    } else if (event.channel == sdk::kRecordedLowCmd) {
      writer.add<kalvent_log::low_cmd>(event, "low_cmd");
    } else if (event.channel == sdk::kRecordedHighState) {
      writer.add<kalvent_log::high_state>(event, "high_state");
    } else if (event.channel == sdk::kRecordedHighCmd) {
      writer.add<kalvent_log::high_cmd>(event, "high_cmd");
    } else if (event.channel == sdk::kRecordedLinkHealth) {
      writer.add<kalvent_log::link_health>(event, "link_health");
    }
  });
  for (const auto& [name, table] : writer.tables) writer.failed |= table->failed();
  return writer.failed ? 1 : 0;
}

}  // namespace kalvent_log_tool
