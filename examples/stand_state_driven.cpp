// stand_state_driven: stands the robot up from lying down and holds it there,
// answering each state packet the moment it arrives.
//
// The same motion and safety guards as stand_low_level, on a LowStateLoop
// instead of three 2 ms loops: one thread waits for each state, computes the
// command from it and sends it at once, so the command reacts to a
// measurement tens of microseconds after the robot sent it rather than about
// one period later. When states stop for longer than 3 ms the loop keeps
// sending every 2 ms: this program repeats its last command at first, holds
// the joints damped once the state is 0.1 s old, and starts the motion again
// from the measured pose when states come back, as stand_low_level does.
//
// Run:  stand_state_driven [--record FILE] [SECONDS]  (default: until Ctrl-C or SIGTERM)
//
// It talks to the basic controller's address, so run it on the robot's
// network, or beside kalvent_sim in a private network namespace that has
// that address (./scripts/demo does this). With the right to lock memory and
// use SCHED_FIFO (root) it runs real-time; otherwise it says so and runs
// without. At the end it prints a summary line and exits 0 if the robot
// stands: joints at the stand pose, body upright, its weight on its feet;
// 1 if not (stderr says "fallen: ..." when the body is not upright).
#include <kalvent_legged_sdk.h>

#include <cstdint>
#include <cstdio>

#include "example_util.h"

using namespace KALVENT_LEGGED_SDK;

namespace {

const char kProgram[] = "stand_state_driven";

class Controller {
 public:
  explicit Controller(Safety& safety) : stand_(safety) {}

  // Runs on the loop's thread for each state, and every period while none
  // comes; the command left in `cmd` goes out at once.
  void Step(LowState& state, LowCmd& cmd, const StateTick& tick) {
    const bool lost = tick.stateAge > example::StateWatch::kStaleSeconds;
    if (tick.stale && !lost) {
      ++repeated_;
      return;  // a late packet: the last command goes out again
    }
    stand_.Step(state, cmd, lost);
  }

  const example::StateWatch& watch() const { return stand_.watch(); }
  uint64_t repeated() const { return repeated_; }

 private:
  example::GuardedStand stand_;
  uint64_t repeated_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  example::LowLevelProgram program(kProgram, argc, argv, 0);
  Controller controller(program.safety);
  LowState state{};
  const LoopStatus control = example::runLowStateLoop(
      program.udp, state,
      [&controller](LowState& s, LowCmd& c, const StateTick& t) { controller.Step(s, c, t); },
      program.seconds);

  std::printf("%s: last command repeated on %llu late periods\n", kProgram,
              static_cast<unsigned long long>(controller.repeated()));
  return example::finishStand(program, state, controller.watch(), control);
}
