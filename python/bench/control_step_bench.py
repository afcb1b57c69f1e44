#!/usr/bin/python3
"""Cost of a 500 Hz control step written in Python against the same step in C++.

Per cycle: GetRecv -> PD torques of the twelve leg joints -> SetSend, called
by a LoopFunc (Python callable) and by a C++ LoopFunc, each beside C++ Send
and Recv loops, talking over loopback to a simulated peer. The two run in
alternating blocks (the low-level codec's scratch is shared by the process,
so never at once), which spreads the machine's load over both.

Both loops time their calls the same way, from the loop thread around the
whole call, so a cycle's cost is the step plus, for Python, taking the GIL,
the call and releasing the GIL, which is the point. Wake-up lateness is
apart: how long after its point on the loop's period grid a call began. A
cycle is missed when no call finished its step within that period: a late
or overrunning call, or a period the loop skipped.

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
        self.udp.linkHealth().setWarnings(False)  # idle between blocks, by design
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

    def run(self, seconds, period):
        udp, cmd, state = self.udp, self.cmd, self.state

        def step():
            udp.GetRecv(state)
            q, dq, _ = state.joint_state()
            cmd.set_joints(tau=[KP * (t - x) - KD * v for t, x, v in zip(TARGET, q, dq)],
                           Kp=0.0, Kd=0.0)
            udp.SetSend(cmd)

        loops = [sdk.LoopFunc("py_send", period, udp.Send),
                 sdk.LoopFunc("py_recv", period, udp.Recv),
                 sdk.LoopFunc("py_control", period, step)]
        loops[2].record_call_times(int(seconds / period) + 16)
        loops[0].start()
        loops[1].start()
        started = time.monotonic_ns()
        loops[2].start()
        time.sleep(seconds)
        for loop in reversed(loops):
            loop.shutdown()
        return started, loops[2].call_times()


def cycles(started, calls):
    """From one run's start and its (begin, end) calls: each call's cost and
    wake-up lateness in ns, the missed cycles, and how far the grid's start
    is uncertain.

    The loop arms its timer between `started` and its first call, which
    comes at once: the grid is taken to start at the first call, and a call
    up to that uncertainty (at most a quarter period) before one of its
    points counts as on time with lateness 0."""
    period = round(PERIOD * 1e9)
    origin = calls[0][0]
    uncertain = min(origin - started, period // 4)
    index = [(begin - origin + uncertain) // period for begin, _ in calls]
    costs = [end - begin for begin, end in calls]
    lateness = [max(0, begin - origin - k * period) for (begin, _), k in zip(calls, index)]
    on_time = {k for (_, end), k in zip(calls, index) if end <= origin + (k + 1) * period}
    return costs, lateness, index[-1] + 1 - len(on_time), uncertain


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seconds", type=float, default=60, help="per side (default 60)")
    parser.add_argument("--block", type=float, default=10, help="seconds per block")
    args = parser.parse_args()
    # Loops at SCHED_FIFO, as a control program runs them, where permitted.
    report = sdk.TryInitEnvironment()
    realtime = report.memoryLocked and report.fifoScheduling

    robots = [Robot(), Robot()]
    cpp = control_step_baseline.Controller("127.0.0.1", robots[0].port(), TARGET, KP, KD)
    python = PythonController(robots[1].port())
    results = {"C++": ([], [], 0), "Python": ([], [], 0)}
    uncertain = []
    done = 0.0
    while done < args.seconds - 1e-9:
        block = min(args.block, args.seconds - done)
        for name, side in (("C++", cpp), ("Python", python)):
            costs, lateness, missed, grid = cycles(*side.run(block, PERIOD))
            uncertain.append(grid)
            all_costs, all_lateness, all_missed = results[name]
            results[name] = (all_costs + costs, all_lateness + lateness, all_missed + missed)
        done += block
    for robot in robots:
        robot.stop()

    print(f"\ncontrol step at {1 / PERIOD:.0f} Hz, {args.seconds:g} s per side "
          f"(blocks of {args.block:g} s), {'SCHED_FIFO' if realtime else 'not real-time'}; "
          f"load average {os.getloadavg()[0]:.1f}")
    print(f"{'':8} {'cycles':>7} {'cost: median us':>16} {'p99 us':>7} {'max us':>7}   "
          f"{'late: median us':>16} {'p99 us':>7} {'max us':>7} {'missed':>7}")
    row = {}
    for name, (costs, lateness, missed) in results.items():
        row[name] = (statistics.median(costs) / 1e3, percentile(costs, 0.99) / 1e3)
        print(f"{name:8} {len(costs):7d} {row[name][0]:16.1f} {row[name][1]:7.1f} "
              f"{max(costs) / 1e3:7.1f}   {statistics.median(lateness) / 1e3:16.1f} "
              f"{percentile(lateness, 0.99) / 1e3:7.1f} {max(lateness) / 1e3:7.1f} {missed:7d}")
    print(f"lateness and missed cycles: the grid's start known to within "
          f"{max(uncertain) / 1e3:.0f} us")
    added = [p - c for p, c in zip(row["Python"], row["C++"])]
    print(f"Python adds {added[0]:.1f} us at the median (goal <= 25), {added[1]:.1f} us at "
          f"p99 (goal <= 100); Python/C++ median ratio {row['Python'][0] / row['C++'][0]:.1f}")


if __name__ == "__main__":
    main()
