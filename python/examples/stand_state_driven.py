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

Run:  stand_state_driven.py [SECONDS]  (default: until Ctrl-C or SIGTERM)

It talks to the basic controller's address: run it on the robot's network,
or beside kalvent_sim in a private network namespace with that address. At
the end it prints a summary line and exits 0 if the robot stands: joints at
the stand pose, body upright, its weight on its feet; 1 if not.
"""
import math
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
        super().__init__(udp, safety)
        self.state, self.cmd = state, cmd
        udp.InitCmdData(cmd)  # until the first state, stale periods send no torque
        self.repeated = 0

    def control(self, state, cmd, tick):
        try:
            self._control(tick)
        except BaseException:
            self.failed = True
            raise

    def _control(self, tick):
        lost = tick.stateAge > util.STALE_SECONDS
        if tick.stale and not lost:
            self.repeated += 1
            return  # a late packet: the last command goes out again
        verdict = self.watch.check(self.state, self.udp.linkHealth(), lost)
        if verdict == "stale":
            self.cmd.set_joints(q=sdk.PosStopF, dq=0.0, tau=0.0, Kp=0.0, Kd=stand.HOLD_KD, mode=10)
        elif verdict != "none":
            if verdict == "resumed":
                self.start = None
            self._stand()
            self.safety.PositionLimit(self.cmd)
            self.safety.PowerProtect(self.cmd, self.state, stand.POWER_FACTOR)
            self.safety.PositionProtect(self.cmd, self.state, stand.STOP_MARGIN)


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 0.0
    realtime = sdk.TryInitEnvironment()
    if realtime.memoryLocked and realtime.fifoScheduling:
        print(f"{PROGRAM}: real-time: memory locked, loop at SCHED_FIFO priority "
              f"{sdk.THREAD_PRIORITY}", flush=True)
    else:
        print(f"{PROGRAM}: not real-time: no right to lock memory or use SCHED_FIFO "
              "(run as root)", flush=True)

    udp = sdk.UDP(sdk.LOWLEVEL, sdk.HighLevelType.Basic)
    safety = sdk.Safety(sdk.LeggedType.Tesmar)
    state, cmd = sdk.LowState(), sdk.LowCmd()
    controller = StateDrivenController(udp, safety, state, cmd)
    control = util.run_loops([sdk.LowStateLoop("control", udp, state, cmd, PERIOD, STALE_MARGIN,
                                               controller.control)], seconds)

    print(f"{PROGRAM}: last command repeated on {controller.repeated} late periods", flush=True)
    error = stand.stand_error(state)
    body = util.Body(state)
    link = udp.udpState
    print(f"{PROGRAM}: summary max_error_rad={error:.5f} sent={link.SendCount} "
          f"received={link.RecvCount} checksum_errors={link.RecvCRCError} "
          f"tick_restarts={udp.linkHealth().tickRestarts()} {controller.watch.figures()} "
          f"{util.loop_figures(control)} {body.figures()}", flush=True)
    if math.isnan(error):
        print(f"{PROGRAM}: no state received from the robot", flush=True)
        return 1
    body_stands = body.report(PROGRAM)
    standing = error <= stand.TOLERANCE and body_stands and not controller.failed
    if controller.failed:
        print(f"{PROGRAM}: the control step failed", file=sys.stderr, flush=True)
    print(f"{PROGRAM}: {'standing' if standing else 'NOT standing'}: largest joint error "
          f"{error:.5f} rad (tolerance {stand.TOLERANCE:.2f})", flush=True)
    return 0 if standing else 1


if __name__ == "__main__":
    sys.exit(main())
