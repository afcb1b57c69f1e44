// kalvent_log plot: PNG pages drawn by gnuplot from the recording's CSV
// files (the csv subcommand's, written into the same directory).
#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "log_tool.h"
#include "record_codec.h"

namespace sdk = KALVENT_LEGGED_SDK;

namespace kalvent_log_tool {

namespace {

// What the pages are drawn from.
struct Contents {
  bool lowState = false;
  bool lowCmd = false;
  bool highState = false;
  bool linkHealth = false;
  // Some link-health record has a loss figure: it is NaN until enough ticks
  // were seen, and gnuplot refuses a curve without a point.
  bool lossMeasured = false;
};

Contents contentsOf(const Recording& recording) {
  Contents contents;
  recording.forEach([&contents](const sdk::LogEvent& event) {
    contents.lowState |= event.channel == sdk::kRecordedLowState;
    contents.lowCmd |= event.channel == sdk::kRecordedLowCmd;
    contents.highState |= event.channel == sdk::kRecordedHighState;
    if (event.channel != sdk::kRecordedLinkHealth) return;
    contents.linkHealth = true;
    kalvent_log::link_health health{};
    contents.lossMeasured |=
        health.decode(event.data.data(), 0, static_cast<int>(event.data.size())) >= 0 &&
        std::isfinite(health.overall_loss) && std::isfinite(health.recent_loss);
  });
  return contents;
}

// Settings and helpers every page shares. A commanded position or velocity
// of "none" (PosStopF, VelStopF) is left out rather than drawn off the scale.
const char kPreamble[] = R"gp(set terminal pngcairo noenhanced size 1200,900 font "sans,10"
set datafile separator ","
set datafile columnheaders
set grid
set key outside right
set xlabel "time (s)"
legs = "FR FL RR RL"
joints = "hip thigh calf"
leg(l) = word(legs, l + 1)
joint(l, j, field) = column(sprintf("%s_%s_%s", leg(l), word(joints, j + 1), field))
target(v) = abs(v) < 1000 ? v : NaN
)gp";

// The body's roll, pitch and yaw from the state file `state` (quoted).
std::string attitudePlot(const std::string& state) {
  return "set title \"roll, pitch, yaw\"\nset ylabel \"rad\"\n"
         "plot for [i=0:2] " +
         state +
         " using 1:(column(sprintf(\"rpy_%d\", i))) with lines lw 2 "
         "title word(\"roll pitch yaw\", i + 1)\n";
}

// The feet's contact forces from the state file `state` (quoted), into
// DIRECTORY/foot_force.png.
std::string footForcePage(const std::string& d, const std::string& state) {
  return "set output \"" + d +
         "/foot_force.png\"\n"
         "set title \"foot contact force\"\nset ylabel \"force (controller's unit)\"\n"
         "plot for [l=0:3] " +
         state +
         " using 1:(column(\"foot_force_\" . leg(l))) with lines "
         "lw 2 title leg(l)\n";
}

std::string lowLevelPages(const std::string& d) {
  const std::string state = "\"" + d + "/low_state.csv\"";
  const std::string cmd = "\"" + d + "/low_cmd.csv\"";
  return "set output \"" + d +
         "/joints.png\"\n"
         "set ylabel \"angle (rad)\"\n"
         "set multiplot layout 2,2 title \"joint angles: measured (solid), commanded (dashed)\"\n"
         "do for [l=0:3] {\n  set title leg(l)\n"
         "  plot for [j=0:2] " +
         state +
         " using 1:(joint(l, j, \"q\")) with lines lw 2 lc j + 1 "
         "title word(joints, j + 1), \\\n"
         "       for [j=0:2] " +
         cmd +
         " using 1:(target(joint(l, j, \"q\"))) with lines dt 2 "
         "lc j + 1 notitle\n}\nunset multiplot\n"
         "set output \"" +
         d +
         "/torques.png\"\n"
         "set ylabel \"torque (N m)\"\n"
         "set multiplot layout 2,2 title \"joint torques: estimated (solid), feed-forward "
         "commanded (dashed)\"\n"
         "do for [l=0:3] {\n  set title leg(l)\n"
         "  plot for [j=0:2] " +
         state +
         " using 1:(joint(l, j, \"tau_est\")) with lines lw 2 "
         "lc j + 1 title word(joints, j + 1), \\\n"
         "       for [j=0:2] " +
         cmd +
         " using 1:(joint(l, j, \"tau\")) with lines dt 2 lc j + 1 "
         "notitle\n}\nunset multiplot\n"
         "set output \"" +
         d +
         "/imu.png\"\n"
         "set multiplot layout 2,1 title \"body: inertial measurement\"\n" +
         attitudePlot(state) +
         "set title \"angular velocity\"\nset ylabel \"rad/s\"\n"
         "plot for [i=0:2] " +
         state +
         " using 1:(column(sprintf(\"gyroscope_%d\", i))) with "
         "lines lw 2 title word(\"x y z\", i + 1)\nunset multiplot\n" +
         footForcePage(d, state);
}

std::string highLevelPages(const std::string& d) {
  const std::string state = "\"" + d + "/high_state.csv\"";
  return "set output \"" + d + "/imu.png\"\n" + attitudePlot(state) + "set output \"" + d +
         "/speeds.png\"\n"
         "set title \"body speeds\"\nset ylabel \"controller's unit\"\n"
         "plot for [f in \"forward_speed side_speed rotate_speed\"] " +
         state +
         " using 1:f "
         "with lines lw 2 title f\n" +
         footForcePage(d, state);
}

std::string linkHealthPage(const std::string& d, bool withLoss) {
  const std::string health = "\"" + d + "/link_health.csv\"";
  const std::string loss =
      withLoss
          ? "set title \"state packets lost (recent window, and overall)\"\n"
            "set ylabel \"%\"\n"
            "plot " +
                health +
                " using 1:(100 * column(\"recent_loss\")) with linespoints "
                "lw 2 title \"recent\", '' using 1:(100 * column(\"overall_loss\")) with lines "
                "lw 2 title \"overall\"\n"
          : "";
  return "set output \"" + d +
         "/link_health.png\"\n"
         "set multiplot layout 2,1 title \"link health, once a second" +
         (withLoss ? "" : " (loss not measurable: too few state ticks)") + "\"\n" + loss +
         "set title \"failures, as counted so far\"\nset ylabel \"count\"\n"
         "plot for [f in \"checksum_failures tick_restarts commands_dropped states_dropped\"] " +
         health + " using 1:f with lines lw 2 title f\nunset multiplot\n";
}

}  // namespace

int writePlots(const Recording& recording, const std::string& directory) {
  if (writeCsv(recording, directory) != 0) return 1;
  const Contents contents = contentsOf(recording);
  std::string script = kPreamble;
  if (contents.lowState && contents.lowCmd) {
    script += lowLevelPages(directory);
  } else if (contents.highState) {
    script += highLevelPages(directory);
  }
  if (contents.linkHealth) script += linkHealthPage(directory, contents.lossMeasured);
  std::FILE* gnuplot = popen("gnuplot", "w");
  if (gnuplot == nullptr) {
    std::fprintf(stderr, "kalvent_log: cannot start gnuplot\n");
    return 1;
  }
  std::fputs(script.c_str(), gnuplot);
  const int status = pclose(gnuplot);
  if (status != 0) {
    std::fprintf(stderr,
                 "kalvent_log: gnuplot failed (status %d); is it installed (package "
                 "gnuplot-nox)?\n",
                 WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    return 1;
  }
  return 0;
}

}  // namespace kalvent_log_tool
