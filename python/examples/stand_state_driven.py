#!/usr/bin/python3
"""stand_state_driven.py: stands the robot up from lying down and holds it
there, answering each state packet the moment it arrives.

The same motion and safety guards as stand_low_level.py, on a LowStateLoop
instead of three 2 ms loops: one thread waits for each state, and calls the
Python control step with it as soon as it arrives; the command goes out at
once. When states stop for longer than 3 ms the loop keeps calling every
2 ms: this program repeats its last command at first, holds the joints
damped once the state is 0.1 s old, and starts the motion again from the
measured pose when states come back.

Run:  stand_state_driven.py [--record FILE] [SECONDS]
      (default: until Ctrl-C or SIGTERM; --record FILE: record the exchange)

It talks to the basic controller's address: run it on the robot's network,
or beside kalvent_sim in a private network namespace with that address. At
the end it prints a summary line and exits 0 if the robot stands: joints at
the stand pose, body upright, its weight on its feet; 1 if not.
"""
import sys

import kalvent_legged_sdk as sdk

import example_util as util
import stand_low_level as stand

PROGRAM = "stand_state_driven.py"
PERIOD = 0.002  # s: the control rate while states stop
STALE_MARGIN = 0.001  # s: a state later than the period by this much is late


class StateDrivenController(stand.Controller):
    """stand_low_level's controller, given each state by the loop rather than
    fetching it: the loop copies the state in and sends the command out."""

    def __init__(self, udp, safety, state, cmd):
        super().__init__(udp, safety, state, cmd)
        self.repeated = 0

    def control(self, state, cmd, tick):
        try:
            lost = tick.stateAge > util.STALE_SECONDS
            if tick.stale and not lost:
                self.repeated += 1
                return  # a late packet: the last command goes out again
            self.react(self.watch.check(self.state, self.udp.linkHealth(), lost))
        except BaseException:
            self.failed = True
            raise


def main():
    seconds, record = util.set_up(0.0)
    util.report_realtime(PROGRAM, "loop")
    udp = sdk.UDP(sdk.LOWLEVEL, sdk.HighLevelType.Basic)
    recorder = util.start_recording(record, udp)
    state, cmd = sdk.LowState(), sdk.LowCmd()
    controller = StateDrivenController(udp, sdk.Safety(sdk.LeggedType.Tesmar), state, cmd)
    control = util.run_loops([sdk.LowStateLoop("control", udp, state, cmd, PERIOD, STALE_MARGIN,
                                               controller.control)], seconds)

    print(f"{PROGRAM}: last command repeated on {controller.repeated} late periods", flush=True)
    return stand.report(PROGRAM, udp, state, controller, control, recorder)


if __name__ == "__main__":
    sys.exit(main())
