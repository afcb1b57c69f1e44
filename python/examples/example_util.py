"""Helpers the Python examples share: running their loops, riding through a
lost link or a restarted controller, and the verdict on the robot's body
(upright, its weight on its feet), as the C++ examples have them."""
import math
import signal
import sys
import time

import kalvent_legged_sdk as sdk

ROBOT_MASS = 10.8  # kg
ROBOT_WEIGHT = ROBOT_MASS * 9.81  # N: what the feet carry when it stands
UPRIGHT_LIMIT = 0.35  # rad: the body is upright while |roll| and |pitch| stay below
# The feet carry the robot while the sum of their forces (footForce, N) is
# within this share of its weight: the load shifts between the feet, and a
# robot lying on its belly or back has next to none on them.
LOAD_TOLERANCE = 0.25
STALE_SECONDS = 0.1  # a state this old is not computed from
POSE_JUMP = 0.3  # more than any joint (rad) or the body (m, rad) moves between two states


def run_loops(loops, seconds):
    """Starts `loops` in order and returns after `seconds` (0: no limit) or
    at SIGINT or SIGTERM, having stopped them in reverse order. Each stops
    once, as it goes (a loop stopped before it goes would warn "shutdown
    nothing" when it went): the list, which must hold the only references
    to them, is emptied. Returns the last loop's status (the control
    loop's, started last) as it was when told to stop."""
    stop = []
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, lambda *_: stop.append(True))
    for loop in loops:
        loop.start()
    del loop  # the list holds the only reference to each loop
    end = time.monotonic() + seconds
    while not stop and (seconds <= 0 or time.monotonic() < end):
        time.sleep(0.01)
    status = loops[-1].status()
    while loops:
        del loops[-1]
    return status


def pose_of(state):
    """What a state shows of the robot's pose: the twelve leg joints of a
    LowState, rad, or a HighState's position, m, and heading, rad."""
    if isinstance(state, sdk.LowState):
        return state.joint_state()[0]
    return (state.forwardPosition, state.sidePosition, state.imu.rpy[2])


def loop_figures(status):
    """A control loop's calls and overruns as key=value fields for a
    summary line."""
    return f"iterations={status.iterations} overruns={status.overruns}"


class StateWatch:
    """Decides, each control tick, whether the state in hand may be computed
    from: "none" before the first state; "stale" while the link says so
    (hold, compute nothing from it); "resumed" when it is fresh again, the
    controller restarted (its tick fell back) or the pose jumped (start the
    motion again from the measured pose); "fresh" otherwise. Ask the link
    before reading the state, so that a fresh verdict comes with the packet
    that made it fresh."""

    def __init__(self):
        self.stale_episodes = 0
        self.resumptions = 0
        self._holding = False
        self._pose = None
        self._restarts = 0

    def check(self, state, health, link_stale):
        if state.tick == 0:  # 0 until the first state packet
            return "none"
        if link_stale:
            if not self._holding:
                self.stale_episodes += 1
            self._holding = True
            return "stale"
        pose = pose_of(state)
        restarts = health.tickRestarts()
        resumed = self._holding or restarts != self._restarts or (
            self._pose is not None and
            # Modulo a turn: a heading passing pi is no jump.
            any(abs(math.remainder(a - b, 2 * math.pi)) > POSE_JUMP
                for a, b in zip(pose, self._pose)))
        self._holding = False
        self._pose = pose
        self._restarts = restarts
        if not resumed:
            return "fresh"
        self.resumptions += 1
        return "resumed"

    def figures(self):
        return f"stale_episodes={self.stale_episodes} resumptions={self.resumptions}"


class Body:
    """What a LowState or HighState shows of the trunk: roll and pitch from
    the IMU quaternion (w, x, y, z: trunk to world; a robot on its back reads
    a roll near pi), and the sum of the foot forces. NaN where the state does
    not tell, which is neither upright nor carried."""

    def __init__(self, state):
        self.roll = self.pitch = self.foot_load = math.nan
        if state.tick == 0:
            return
        w, x, y, z = state.imu.quaternion
        norm = w * w + x * x + y * y + z * z
        if abs(norm - 1) < 0.1:
            self.roll = math.atan2(2 * (w * x + y * z), w * w - x * x - y * y + z * z)
            self.pitch = math.asin(max(-1.0, min(1.0, 2 * (w * y - z * x) / norm)))
        self.foot_load = float(sum(state.footForce))

    def upright(self):
        return abs(self.roll) < UPRIGHT_LIMIT and abs(self.pitch) < UPRIGHT_LIMIT

    def carried(self):
        return abs(self.foot_load - ROBOT_WEIGHT) <= LOAD_TOLERANCE * ROBOT_WEIGHT

    def figures(self):
        return (f"roll_rad={self.roll:.3f} pitch_rad={self.pitch:.3f} "
                f"foot_load_n={self.foot_load:.1f}")

    def report(self, program):
        """Says on stdout how the body is, and on stderr what is wrong with
        it; returns whether it stands."""
        print(f"{program}: body: roll {self.roll:.3f} rad, pitch {self.pitch:.3f} rad (limit "
              f"{UPRIGHT_LIMIT:.2f}); feet carry {self.foot_load:.1f} N of {ROBOT_WEIGHT:.1f} N "
              f"(tolerance {LOAD_TOLERANCE * 100:.0f} %)", flush=True)
        if not self.upright():
            print(f"{program}: fallen: roll {self.roll:.3f} rad, pitch {self.pitch:.3f} rad",
                  file=sys.stderr, flush=True)
        if not self.carried():
            print(f"{program}: the feet carry {self.foot_load:.1f} N, not the robot's weight of "
                  f"{ROBOT_WEIGHT:.1f} N", file=sys.stderr, flush=True)
        return self.upright() and self.carried()
