#!/usr/bin/python3
"""walk_high_level.py: once the robot stands, walks forward, then forward
while turning, then stands still, printing the body position and heading
the controller reports.

A high-level program needs no real-time set-up: the controller runs the
gait, this program only sends speeds (HighCmd) and reads the body state
(HighState), every 2 ms.

Run:  walk_high_level.py [--record FILE] [SECONDS]
      (default 8; --record FILE: record the exchange)

The first walk command stands a lying robot up: the walk's four seconds
start when the state shows it standing.

It talks to the basic controller's address: run it on the robot's network
or beside kalvent_sim in a private network namespace with that address.
It judges what the high-level state shows: it exits 0 when the body ends
upright with its weight on its feet, and its reported position and heading
are where the commanded speeds should have taken it (reckoned again from
the measured pose after a controller restart); 1 if not.
"""
import math
import sys
import time

import kalvent_legged_sdk as sdk

import example_util as util

PROGRAM = "walk_high_level.py"
STAND_MODE, WALK_MODE = 1, 2  # the controller's motion mode numbers
WALK_SECONDS = 4.0  # from when the robot first stands; it turns over the second half
# The robot stands once upright with its weight on its feet and its body
# within this of the commanded height (bodyHeight 0), m.
STAND_HEIGHT_TOLERANCE = 0.03
PRINT_EVERY = 250  # control ticks: half a second
# The body has followed the commanded speeds while its position and heading
# stay this close to where they should have taken it, m and rad.
TRACK_TOLERANCE_M = 0.15
TRACK_TOLERANCE_RAD = 0.15


class Walker(util.ControlStep):
    """Sends the walk's speeds. While the state is fresh and the robot
    stands it keeps, beside them, the pose they should lead to: the
    commanded speeds integrated from the pose measured when it (again)
    stood. While the state is stale it asks for no motion; once it resumes
    (the controller restarted: its odometry starts again, the robot lies
    down) the reckoning starts again once the robot stands."""

    def __init__(self, udp):
        super().__init__(udp, sdk.HighState(), sdk.HighCmd())
        self.expected = None  # x, y, yaw the commands lead to; None: not tracking
        self.ticks = 0
        self.up = False  # stood since the state (re)started
        self.walk_start = None  # the walk's clock: when the robot first stood
        self.last = time.monotonic()

    def react(self, verdict):
        now = time.monotonic()
        walk = False
        if verdict != "fresh":
            self.expected = None
            self.up = False
        else:
            self.up = self.up or self._stands()
            if self.up:
                if self.walk_start is None:
                    self.walk_start = now
                self._reckon(now - self.last)
                walk = True
        self.last = now
        t = now - self.walk_start if self.walk_start is not None else 0.0
        walking = walk and t < WALK_SECONDS
        cmd = self.cmd
        cmd.mode = STAND_MODE if self.walk_start is not None and t >= WALK_SECONDS else WALK_MODE
        cmd.bodyHeight = 0.0
        cmd.forwardSpeed = 0.4 if walking else 0.0  # m/s
        cmd.sideSpeed = 0.0
        cmd.rotateSpeed = 0.8 if walking and t >= WALK_SECONDS / 2 else 0.0  # rad/s, to the left
        self.ticks += 1
        if self.ticks % PRINT_EVERY == 0:
            s = self.state
            print(f"{PROGRAM}: t={t:4.1f} s  x={s.forwardPosition:6.3f} m  "
                  f"y={s.sidePosition:6.3f} m  yaw={s.imu.rpy[2]:6.3f} rad  mode={s.mode} "
                  f"tick={s.tick}", flush=True)

    def _stands(self):
        """In the commanded mode (while the controller stands the robot up it
        reports another), upright, carried, at the commanded height."""
        body = util.Body(self.state)
        return (self.state.mode == self.cmd.mode and body.upright() and body.carried() and
                abs(self.state.bodyHeight - self.cmd.bodyHeight) <= STAND_HEIGHT_TOLERANCE)

    def _reckon(self, seconds):
        """Moves the expected pose on by the speeds commanded over the last
        `seconds`, or starts it at the measured pose."""
        if self.expected is None:
            self.expected = util.pose_of(self.state)
            return
        x, y, yaw = self.expected
        c = self.cmd
        heading = yaw + c.rotateSpeed * seconds / 2
        self.expected = (
            x + (c.forwardSpeed * math.cos(heading) - c.sideSpeed * math.sin(heading)) * seconds,
            y + (c.forwardSpeed * math.sin(heading) + c.sideSpeed * math.cos(heading)) * seconds,
            yaw + c.rotateSpeed * seconds)


def main():
    seconds, record = util.set_up(8.0)
    udp = sdk.UDP(sdk.HIGHLEVEL)
    recorder = util.start_recording(record, udp)
    walker = Walker(udp)
    control = util.run_loops(util.link_loops(udp, walker.step), seconds)

    state = sdk.HighState()
    udp.GetRecv(state)
    body = util.Body(state)
    off_m = off_rad = math.nan
    if walker.expected is not None:
        x, y, yaw = util.pose_of(state)
        ex, ey, eyaw = walker.expected
        off_m = math.hypot(x - ex, y - ey)
        off_rad = abs(math.remainder(yaw - eyaw, 2 * math.pi))
    link = udp.udpState
    print(f"{PROGRAM}: summary x={state.forwardPosition:.3f} y={state.sidePosition:.3f} "
          f"yaw={state.imu.rpy[2]:.3f} sent={link.SendCount} received={link.RecvCount} "
          f"checksum_errors={link.RecvCRCError} track_error_m={off_m:.3f} "
          f"track_error_rad={off_rad:.3f} {walker.watch.figures()} "
          f"{util.loop_figures(control)} {body.figures()}{util.recording_figures(recorder)}",
          flush=True)
    if state.tick == 0:
        print(f"{PROGRAM}: no state received from the robot", flush=True)
        return 1
    body_stands = body.report(PROGRAM)
    walker.report_failure(PROGRAM)
    walked = (body_stands and not walker.failed and off_m <= TRACK_TOLERANCE_M and
              off_rad <= TRACK_TOLERANCE_RAD)
    print(f"{PROGRAM}: {'walked' if walked else 'did NOT walk as commanded'}: {off_m:.3f} m "
          f"and {off_rad:.3f} rad from where the commanded speeds lead (tolerance "
          f"{TRACK_TOLERANCE_M:.2f} m, {TRACK_TOLERANCE_RAD:.2f} rad)", flush=True)
    return 0 if walked else 1


if __name__ == "__main__":
    sys.exit(main())
