"""Helpers the Python examples share: their command line, recording their
exchange, running their loops, riding through a lost link or a restarted
controller, and the verdict on the robot's body (upright, its weight on its
feet), as the C++ examples have them."""
import argparse
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
HOLD_KD = 2.0  # N·m·s/rad: the damping of joints held while the state is stale


def _seconds(text):
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not 0 <= value < 1e6:
        raise argparse.ArgumentTypeError(f"'{text}' is not a run time in seconds")
    return value


def set_up(fallback):
    """The command line `[--record FILE] [SECONDS]`: the run time in seconds
    (`fallback` without it, 0 meaning until SIGINT or SIGTERM) and the file
    to record into (None without it). Exits with status 2 on anything else."""
    parser = argparse.ArgumentParser(
        usage="%(prog)s [--record FILE] [SECONDS]  (0: run until SIGINT or SIGTERM)")
    parser.add_argument("--record", metavar="FILE")
    parser.add_argument("seconds", nargs="?", type=_seconds, default=fallback)
    args = parser.parse_args()
    return args.seconds, args.record


def start_recording(path, udp):
    """With --record FILE: a Recorder of `udp`'s exchange into FILE, which
    closes when the program drops it (after its loops); without: None.
    Exits with status 2 when the file cannot be made."""
    if path is None:
        return None
    try:
        recorder = sdk.Recorder(path)
    except OSError as error:
        print(error, file=sys.stderr, flush=True)
        sys.exit(2)
    recorder.attach(udp)
    return recorder


def recording_figures(recorder):
    """What the recorder took and dropped, as key=value fields for a
    summary line (each after a space); nothing without a recorder."""
    if recorder is None:
        return ""
    s = recorder.stats()
    return (f" recorded_commands={s.commandsRecorded} recorded_states={s.statesRecorded}"
            f" dropped_commands={s.commandsDropped} dropped_states={s.statesDropped}")


def report_realtime(program, loops="loops"):
    """Makes the process real-time when allowed, and says which it is."""
    realtime = sdk.TryInitEnvironment()
    if realtime.memoryLocked and realtime.fifoScheduling:
        print(f"{program}: real-time: memory locked, {loops} at SCHED_FIFO priority "
              f"{sdk.THREAD_PRIORITY}", flush=True)
    else:
        print(f"{program}: not real-time: no right to lock memory or use SCHED_FIFO "
              "(run as root)", flush=True)


def hold_damping(cmd):
    """The leg joints without position target or torque, only damped: what a
    program sends when it has no state to compute from. No guard either:
    they judge a command by a state that is gone."""
    cmd.set_joints(q=sdk.PosStopF, dq=0.0, tau=0.0, Kp=0.0, Kd=HOLD_KD, mode=10)


def link_loops(udp, step):
    """The three 2 ms loops of a program that owns the link, in the order
    run_loops starts them: UDP send and receive (in C++, no GIL), then the
    control step."""
    return [sdk.LoopFunc("udp_send", 0.002, udp.Send),
            sdk.LoopFunc("udp_recv", 0.002, udp.Recv),
            sdk.LoopFunc("control", 0.002, step)]


class ControlStep:
    """The control step of a program on link_loops: each tick the newest
    state in, judged by a StateWatch, and the command out. A subclass
    writes the command in react(verdict). Until the first step the send
    loop repeats the idle command InitCmdData made. A step that raises
    stops the loop and sets `failed`, which fails the program's verdict."""

    def __init__(self, udp, state, cmd):
        self.udp, self.state, self.cmd = udp, state, cmd
        self.watch = StateWatch()
        self.failed = False
        udp.InitCmdData(cmd)
        udp.SetSend(cmd)

    def step(self):
        try:
            health = self.udp.linkHealth()
            # Asked before the state is read: a fresh verdict comes with its packet.
            stale = health.stale(STALE_SECONDS)
            self.udp.GetRecv(self.state)
            self.react(self.watch.check(self.state, health, stale))
            self.udp.SetSend(self.cmd)
        except BaseException:
            self.failed = True
            raise

    def react(self, verdict):
        raise NotImplementedError

    def report_failure(self, program):
        if self.failed:
            print(f"{program}: the control step failed", file=sys.stderr, flush=True)


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
