#!/usr/bin/python3
"""stand_low_level.py: stands the robot up from lying down and holds it there.

The canonical low-level program in Python: real-time set-up when allowed,
the default low-level endpoint, three 2 ms loops (the UDP send and receive
loops run in C++; the control step is Python), and the safety guards on
every command. Once the first state has arrived it moves all twelve leg
joints smoothly from where they are to the stand pose in two seconds, then
holds them there. When the state goes stale it holds the joints damped;
when it comes back, or the controller restarted, it starts the stand again
from the measured pose.

Run:  stand_low_level.py [--record FILE] [SECONDS]
      (default: until Ctrl-C or SIGTERM; --record FILE: record the exchange)

It talks to the basic controller's address: run it on the robot's network,
or beside kalvent_sim in a private network namespace with that address
(./scripts/demo does). At the end it prints a summary line and exits 0 if
the robot stands: joints at the stand pose, body upright, its weight on its
feet; 1 if not (stderr says "fallen: ..." when the body is not upright).
"""
import math
import sys
import time

import kalvent_legged_sdk as sdk

import example_util as util

PROGRAM = "stand_low_level.py"
STAND_POSE = (0.0, 0.67, -1.3)  # hip, thigh, calf, rad (every leg)
TOLERANCE = 0.05  # rad: the largest joint error at which the robot stands
RISE_SECONDS = 2.0
KP, KD = 200.0, 5.0  # N·m/rad, N·m·s/rad: stiff enough to carry the robot's weight
POWER_FACTOR = 4  # x 100 W; standing up needs a small part of it
STOP_MARGIN = 0.05  # rad from a joint's stop ends the program


class Controller(util.ControlStep):
    def __init__(self, udp, safety, state=None, cmd=None):
        super().__init__(udp, sdk.LowState() if state is None else state,
                         sdk.LowCmd() if cmd is None else cmd)
        self.safety = safety
        self.start = None
        self.origin = None

    def react(self, verdict):
        """Holds the joints damped while the state is stale; otherwise stands,
        from the measured pose again after a resumption, with the guards."""
        if verdict == "stale":
            util.hold_damping(self.cmd)
        elif verdict != "none":
            if verdict == "resumed":
                self.start = None  # the ramp starts again from the measured pose
            self._stand()
            self.safety.PositionLimit(self.cmd)
            self.safety.PowerProtect(self.cmd, self.state, POWER_FACTOR)
            self.safety.PositionProtect(self.cmd, self.state, STOP_MARGIN)

    def _stand(self):
        """Position targets along the cosine ramp from where the joints were
        when it started to the stand pose."""
        q, _, _ = self.state.joint_state()
        now = time.monotonic()
        if self.start is None:
            self.start, self.origin = now, q
        t = now - self.start
        phase = math.pi * min(t / RISE_SECONDS, 1.0)
        s = (1 - math.cos(phase)) / 2
        ds = math.pi / (2 * RISE_SECONDS) * math.sin(phase) if t < RISE_SECONDS else 0.0
        travel = [STAND_POSE[j % 3] - self.origin[j] for j in range(sdk.LEG_JOINTS)]
        self.cmd.set_joints(
            q=[o + s * d for o, d in zip(self.origin, travel)],
            dq=[ds * d for d in travel],
            tau=0.0, Kp=KP, Kd=KD, mode=10)


def stand_error(state):
    if state.tick == 0:
        return math.nan
    q, _, _ = state.joint_state()
    return max(abs(q[j] - STAND_POSE[j % 3]) for j in range(sdk.LEG_JOINTS))


def report(program, udp, state, controller, control, recorder):
    """The summary line and the verdict on the stand; the exit status."""
    error = stand_error(state)
    body = util.Body(state)
    link = udp.udpState
    print(f"{program}: summary max_error_rad={error:.5f} sent={link.SendCount} "
          f"received={link.RecvCount} checksum_errors={link.RecvCRCError} "
          f"tick_restarts={udp.linkHealth().tickRestarts()} {controller.watch.figures()} "
          f"{util.loop_figures(control)} {body.figures()}{util.recording_figures(recorder)}",
          flush=True)
    if math.isnan(error):
        print(f"{program}: no state received from the robot", flush=True)
        return 1
    body_stands = body.report(program)
    standing = error <= TOLERANCE and body_stands and not controller.failed
    controller.report_failure(program)
    print(f"{program}: {'standing' if standing else 'NOT standing'}: largest joint error "
          f"{error:.5f} rad (tolerance {TOLERANCE:.2f})", flush=True)
    return 0 if standing else 1


def main():
    seconds, record = util.set_up(0.0)
    util.report_realtime(PROGRAM)
    udp = sdk.UDP(sdk.LOWLEVEL, sdk.HighLevelType.Basic)
    recorder = util.start_recording(record, udp)
    controller = Controller(udp, sdk.Safety(sdk.LeggedType.Tesmar))
    control = util.run_loops(util.link_loops(udp, controller.step), seconds)

    state = sdk.LowState()
    udp.GetRecv(state)
    return report(PROGRAM, udp, state, controller, control, recorder)


if __name__ == "__main__":
    sys.exit(main())
