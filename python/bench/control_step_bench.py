#!/usr/bin/python3
"""Cost of a 500 Hz control step written in Python against the same step in C++.

Per cycle: GetRecv -> PD torques of the twelve leg joints -> SetSend, called
by a LoopFunc (Python callable) and by a C++ LoopFunc, each beside C++ Send
and Recv loops, talking over loopback to a simulated peer. The two run in
alternating blocks (the low-level codec's scratch is shared by the process,
so never at once), which spreads the machine's load over both.

Cost of a cycle: from its place on the loop's period grid to the end of the
step. It includes the thread's wake-up, and for Python the GIL and the call,
which is the point. Missed cycles: grid periods without a call, and calls
that ended after their period.

Run:  PYTHONPATH=build/native/python:build/native/python/bench \\
        python/bench/control_step_bench.py [--seconds 60] [--block 10]
"""
import argparse
import os
import socket
import statistics
import time

import control_step_baseline
import kalvent_legged_sdk as sdk

PERIOD = 0.002
TARGET = [(0.0, 0.67, -1.3)[j % 3] for j in range(sdk.LEG_JOINTS)]
KP, KD = 20.0, 0.5


def bound_port(endpoint):
    with socket.socket(fileno=os.dup(endpoint.socketFd())) as s:
        return s.getsockname()[1]


class Robot:
    """The far end: a server-mode endpoint whose C++ loops answer with a
    fixed state packet (leg joints away from the target)."""

    def __init__(self):
        self.udp = sdk.UDP(0, 0, sdk.LOW_STATE_LENGTH, sdk.LOW_CMD_LENGTH)
        state = bytearray(sdk.LOW_STATE_LENGTH)
        state[0] = sdk.LOWLEVEL
        self.udp.SetSend(state)
        self.loops = [sdk.LoopFunc("robot_send", PERIOD, self.udp.Send),
                      sdk.LoopFunc("robot_recv", PERIOD, self.udp.Recv)]
        for loop in self.loops:
            loop.start()

    def port(self):
        return bound_port(self.udp)

    def stop(self):
        for loop in self.loops:
            loop.shutdown()


class PythonController:
    """The step as a user writes it, with the joint-array fast path."""

    def __init__(self, robot_port):
        self.udp = sdk.UDP(0, "127.0.0.1", robot_port, sdk.LOW_CMD_LENGTH,
                           sdk.LOW_STATE_LENGTH)
        self.cmd, self.state = sdk.LowCmd(), sdk.LowState()
        self.udp.linkHealth().setWarnings(False)  # idle between blocks, by design
        self.udp.InitCmdData(self.cmd)
        self.udp.SetSend(self.cmd)

    def run(self, seconds):
        starts, ends = [], []
        udp, cmd, state, clock = self.udp, self.cmd, self.state, time.monotonic_ns

        def step():
            start = clock()
            udp.GetRecv(state)
            q, dq, _ = state.joint_state()
            cmd.set_joints(tau=[KP * (t - x) - KD * v for t, x, v in zip(TARGET, q, dq)],
                           Kp=0.0, Kd=0.0)
            udp.SetSend(cmd)
            starts.append(start)
            ends.append(clock())

        loops = [sdk.LoopFunc("py_send", PERIOD, udp.Send),
                 sdk.LoopFunc("py_recv", PERIOD, udp.Recv),
                 sdk.LoopFunc("py_control", PERIOD, step)]
        loops[0].start()
        loops[1].start()
        started = clock()
        loops[2].start()
        time.sleep(seconds)
        for loop in reversed(loops):
            loop.shutdown()
        return started, starts, ends


def cycle_costs(starts, ends):
    """Per call: ns from its point on the period grid to the step's end; and
    the missed cycles.

    The grid is found from the calls themselves: their start times modulo
    the period cluster just after the grid points, so the grid point is the
    end of the widest gap in that circle, that is the earliest call. On the
    Python side a call's start is taken inside the callable, after the GIL
    and the call, so the earliest call's overhead (a few us) is left out."""
    period = PERIOD * 1e9
    phases = sorted((s - starts[0]) % period for s in starts)
    gaps = [(b - a, b) for a, b in zip(phases, phases[1:])]
    gaps.append((phases[0] + period - phases[-1], phases[0]))
    origin = starts[0] + max(gaps)[1] - period
    index = [int((s - origin) // period) for s in starts]
    costs = [e - (origin + k * period) for e, k in zip(ends, index)]
    skipped = index[-1] - index[0] + 1 - len(set(index))
    overran = sum(1 for c in costs if c > period)
    return costs, skipped + overran


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def realtime_permitted():
    """InitEnvironment ends the process when refused: try it in a child."""
    child = os.fork()
    if child == 0:
        os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
        sdk.InitEnvironment()
        os._exit(0)
    _, status = os.waitpid(child, 0)
    return os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seconds", type=float, default=60, help="per side (default 60)")
    parser.add_argument("--block", type=float, default=10, help="seconds per block")
    args = parser.parse_args()
    realtime = realtime_permitted()
    if realtime:
        sdk.InitEnvironment()  # loops at SCHED_FIFO, as a control program runs them

    robots = [Robot(), Robot()]
    cpp = control_step_baseline.Controller("127.0.0.1", robots[0].port(), TARGET, KP, KD)
    python = PythonController(robots[1].port())
    results = {"C++": ([], 0, []), "Python": ([], 0, [])}
    done = 0.0
    while done < args.seconds - 1e-9:
        block = min(args.block, args.seconds - done)
        for name, side in (("C++", cpp), ("Python", python)):
            _, starts, ends = side.run(block, PERIOD) if name == "C++" else side.run(block)
            costs, missed = cycle_costs(starts, ends)
            all_costs, all_missed, steps = results[name]
            all_costs += costs
            steps += [e - s for s, e in zip(starts, ends)]
            results[name] = (all_costs, all_missed + missed, steps)
        done += block
    for robot in robots:
        robot.stop()

    print(f"\ncontrol step at {1 / PERIOD:.0f} Hz, {args.seconds:g} s per side "
          f"(blocks of {args.block:g} s), {'SCHED_FIFO' if realtime else 'not real-time'}; "
          f"load average {os.getloadavg()[0]:.1f}")
    print(f"{'':8} {'cycles':>7} {'median us':>10} {'p99 us':>8} {'max us':>8} "
          f"{'step median us':>15} {'missed':>7}")
    row = {}
    for name, (costs, missed, steps) in results.items():
        row[name] = (statistics.median(costs) / 1e3, percentile(costs, 0.99) / 1e3)
        print(f"{name:8} {len(costs):7d} {row[name][0]:10.1f} {row[name][1]:8.1f} "
              f"{max(costs) / 1e3:8.1f} {statistics.median(steps) / 1e3:15.1f} {missed:7d}")
    added = [p - c for p, c in zip(row["Python"], row["C++"])]
    print(f"Python adds {added[0]:.1f} us at the median (goal <= 25), {added[1]:.1f} us at "
          f"p99 (goal <= 100); Python/C++ median ratio {row['Python'][0] / row['C++'][0]:.1f}")


if __name__ == "__main__":
    main()
