#!/usr/bin/python3
"""walk_high_level.py: walks forward, then forward while turning, then stops,
printing the body position and heading the controller reports.

A high-level program needs no real-time set-up: the controller runs the
gait, this program only sends speeds (HighCmd) and reads the body state
(HighState), every 2 ms.

Run:  walk_high_level.py [SECONDS]     (default 6)

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
WALK_MODE = 2  # the controller's motion mode number for walking
PRINT_EVERY = 250  # control ticks: half a second
# The body has followed the commanded speeds while its position and heading
# stay this close to where they should have taken it, m and rad.
TRACK_TOLERANCE_M = 0.15
TRACK_TOLERANCE_RAD = 0.15


class Walker:
    """Sends the walk's speeds. While the state is fresh it keeps, beside
    them, the pose they should lead to: the commanded speeds integrated from
    the pose measured when the state (re)started. While the state is stale
    it asks for no motion; once it resumes (the controller restarted: its
    odometry starts again) the reckoning starts again from the measured
    pose."""

    def __init__(self, udp):
        self.udp = udp
        self.cmd = sdk.HighCmd()
        self.state = sdk.HighState()
        self.watch = util.StateWatch()
        self.expected = None  # x, y, yaw the commands lead to; None: not tracking
        self.ticks = 0
        self.failed = False
        self.start = self.last = time.monotonic()
        udp.InitCmdData(self.cmd)
        udp.SetSend(self.cmd)

    def step(self):
        """One control tick. A step that raises stops the loop; the verdict
        then fails too."""
        try:
            self._step()
        except BaseException:
            self.failed = True
            raise

    def _step(self):
        health = self.udp.linkHealth()
        stale = health.stale(util.STALE_SECONDS)
        self.udp.GetRecv(self.state)
        now = time.monotonic()
        t = now - self.start
        verdict = self.watch.check(self.state, health, stale)
        walk = verdict in ("fresh", "resumed")
        if not walk or verdict == "resumed":
            self.expected = None
        if walk:
            self._reckon(now - self.last)
        self.last = now
        cmd = self.cmd
        cmd.mode = WALK_MODE
        cmd.bodyHeight = 0.0
        cmd.forwardSpeed = 0.4 if walk and t < 4 else 0.0  # m/s
        cmd.sideSpeed = 0.0
        cmd.rotateSpeed = 0.8 if walk and 2 <= t < 4 else 0.0  # rad/s, to the left
        self.udp.SetSend(cmd)
        self.ticks += 1
        if self.ticks % PRINT_EVERY == 0:
            s = self.state
            print(f"{PROGRAM}: t={t:4.1f} s  x={s.forwardPosition:6.3f} m  "
                  f"y={s.sidePosition:6.3f} m  yaw={s.imu.rpy[2]:6.3f} rad  mode={s.mode} "
                  f"tick={s.tick}", flush=True)

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
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 6.0
    udp = sdk.UDP(sdk.HIGHLEVEL)
    walker = Walker(udp)
    control = util.run_loops([sdk.LoopFunc("udp_send", 0.002, udp.Send),
                              sdk.LoopFunc("udp_recv", 0.002, udp.Recv),
                              sdk.LoopFunc("control", 0.002, walker.step)], seconds)

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
          f"{util.loop_figures(control)} {body.figures()}", flush=True)
    if state.tick == 0:
        print(f"{PROGRAM}: no state received from the robot", flush=True)
        return 1
    body_stands = body.report(PROGRAM)
    if walker.failed:
        print(f"{PROGRAM}: the control step failed", file=sys.stderr, flush=True)
    walked = (body_stands and not walker.failed and off_m <= TRACK_TOLERANCE_M and
              off_rad <= TRACK_TOLERANCE_RAD)
    print(f"{PROGRAM}: {'walked' if walked else 'did NOT walk as commanded'}: {off_m:.3f} m "
          f"and {off_rad:.3f} rad from where the commanded speeds lead (tolerance "
          f"{TRACK_TOLERANCE_M:.2f} m, {TRACK_TOLERANCE_RAD:.2f} rad)", flush=True)
    return 0 if walked else 1


if __name__ == "__main__":
    sys.exit(main())
