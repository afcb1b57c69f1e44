#!/usr/bin/python3
"""Allocations per 10^5 control cycles on the numpy paths.

A PD step on numpy views: q and dq read through views of a LowState, the
torques computed into arrays made beforehand, and written into a LowCmd
through its view (or with set_joints from a numpy array). Counted three
ways: the step alone, called 10^5 times; set_joints; and the step as the control
function of a LowStateLoop running at a 100 us period with no robot (stale
calls), where the loop's own work counts too.

Run (the counting allocator from the build):
  LD_PRELOAD=build/native/python/bench/libmalloc_count.so PYTHONMALLOC=malloc \\
  PYTHONPATH=build/native/python python/bench/numpy_alloc_bench.py
"""
import ctypes
import itertools
import socket
import time

import numpy as np

import kalvent_legged_sdk as sdk

CYCLES = 100_000
allocations = ctypes.CDLL(None).kalvent_allocations
allocations.restype = ctypes.c_ulong


class PD:
    """The step; everything it touches is made here, once. The views of the
    packed records are unaligned: numpy copies them into aligned arrays and
    back without allocating when the types match, while a ufunc given one, a
    Python number or a cast allocates per call."""

    def __init__(self, state, cmd):
        self.q_view, self.dq_view = state.view("q"), state.view("dq")
        self.tau_view = cmd.view("tau")
        joints, f32 = sdk.LEG_JOINTS, np.float32  # the records' own type: no cast
        self.target = np.linspace(-1, 1, joints, dtype=f32)
        self.kp, self.kd = np.full(joints, 20.0, f32), np.full(joints, 0.5, f32)
        self.q, self.dq, self.error, self.damping, self.tau = (
            np.empty(joints, f32) for _ in range(5))

    def step(self, *_unused):
        np.copyto(self.q, self.q_view)
        np.copyto(self.dq, self.dq_view)
        np.subtract(self.target, self.q, self.error)
        np.multiply(self.error, self.kp, self.error)
        np.multiply(self.dq, self.kd, self.damping)
        np.subtract(self.error, self.damping, self.tau)
        np.copyto(self.tau_view, self.tau)


def per_cycles(count, cycles):
    return f"{count * CYCLES / cycles:.0f} per 10^5 cycles"


def direct(step, name):
    step()  # first calls may fill caches
    before = allocations()
    for _ in itertools.repeat(None, CYCLES):
        step()
    print(f"{name}: {per_cycles(allocations() - before, CYCLES)}")


def in_state_loop(state, cmd, step):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as peer:
        peer.bind(("127.0.0.1", 0))
        udp = sdk.UDP(0, "127.0.0.1", peer.getsockname()[1], sdk.LOW_CMD_LENGTH,
                      sdk.LOW_STATE_LENGTH)
        udp.linkHealth().setWarnings(False)
        loop = sdk.LowStateLoop("alloc", udp, state, cmd, 0.0001, 0.0, step)
        loop.start()
        time.sleep(0.5)
        first = loop.status().iterations
        before = allocations()
        while loop.status().iterations < first + CYCLES:  # a few reads, a few objects each
            time.sleep(0.5)
        made = allocations() - before
        cycles = loop.status().iterations - first
        loop.shutdown()
    print(f"LowStateLoop calling the step (stale calls, 100 us period): "
          f"{per_cycles(made, cycles)}, the waiting thread's status reads included")


pd_state, pd_cmd = sdk.LowState(), sdk.LowCmd()
pd = PD(pd_state, pd_cmd)
direct(pd.step, "PD step on views")
target = np.zeros(sdk.LEG_JOINTS, np.float32)
direct(lambda: pd_cmd.set_joints(q=target, Kp=20.0, Kd=0.5), "set_joints from a numpy array")
in_state_loop(pd_state, pd_cmd, pd.step)
