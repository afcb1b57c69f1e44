"""Loops with Python callables: exceptions stop only their loop, and the GIL
is held only where it must be."""
import threading
import time

import pytest

import kalvent_legged_sdk as sdk

PERIOD = 0.002


def wait_until(condition, seconds):
    end = time.monotonic() + seconds
    while not condition() and time.monotonic() < end:
        time.sleep(0.01)
    return condition()


def test_a_raising_callback_stops_its_loop_and_the_process_goes_on(capfd):
    calls, others = [0], [0]

    def failing():
        calls[0] += 1
        if calls[0] == 3:
            raise RuntimeError("callback failure 3")

    def counting():
        others[0] += 1

    failing_loop = sdk.LoopFunc("failing", PERIOD, failing)
    other_loop = sdk.LoopFunc("other", PERIOD, counting)
    failing_loop.start()
    other_loop.start()
    assert wait_until(lambda: calls[0] >= 3, 10)
    time.sleep(0.2)
    still = others[0]
    assert wait_until(lambda: others[0] > still + 20, 10)  # the other loop runs on
    other_loop.shutdown()
    assert calls[0] == 3
    err = capfd.readouterr().err
    assert "Traceback" in err and "RuntimeError: callback failure 3" in err

    # Stopped by its failure, it starts again on request.
    calls[0] = 0
    failing_loop.start()
    assert wait_until(lambda: calls[0] == 3, 10)
    failing_loop.shutdown()


def test_a_loop_thread_keeps_one_python_thread_state_and_times_whole_calls():
    """Thread-local values live on from call to call, and each recorded
    call spans the callable's own run."""
    local, inside = threading.local(), []

    def work():
        begin = time.monotonic_ns()
        local.calls = getattr(local, "calls", 0) + 1
        inside.append((begin, local.calls, time.monotonic_ns()))

    loop = sdk.LoopFunc("timed", PERIOD, work)
    loop.record_call_times(5)
    loop.start()
    assert wait_until(lambda: len(inside) >= 10, 10)
    with pytest.raises(RuntimeError):
        loop.record_call_times(5)
    loop.shutdown()
    assert [calls for _, calls, _ in inside] == list(range(1, len(inside) + 1))
    recorded = loop.call_times()
    assert len(recorded) == 5
    for (begin, end), (own_begin, _, own_end) in zip(recorded, inside):
        assert begin <= own_begin <= own_end <= end


def test_python_control_at_500_hz_beside_the_native_link_loops(link):
    """Ten seconds of a Python control step beside C++ Send/Recv loops on
    both ends; the link loops never wait for the GIL, even while the main
    thread holds it, and the blocking calls let the control loop run."""
    controller, robot = link
    cmd, state, echoed = sdk.LowCmd(), sdk.LowState(), bytearray(sdk.LOW_CMD_LENGTH)
    controller.InitCmdData(cmd)
    robot_state = bytearray(sdk.LOW_STATE_LENGTH)
    robot.SetSend(robot_state)
    stamps = []

    def control():
        controller.GetRecv(state)
        q, dq, _ = state.joint_state()
        cmd.set_joints(tau=[-2.0 * x - 0.1 * v for x, v in zip(q, dq)], Kp=0, Kd=0)
        cmd.SN = len(stamps)
        controller.SetSend(cmd)
        stamps.append(time.monotonic())

    loops = [sdk.LoopFunc("robot_send", PERIOD, robot.Send),
             sdk.LoopFunc("robot_recv", PERIOD, robot.Recv),
             sdk.LoopFunc("udp_send", PERIOD, controller.Send),
             sdk.LoopFunc("udp_recv", PERIOD, controller.Recv),
             sdk.LoopFunc("control", PERIOD, control)]
    for loop in loops:
        loop.start()
    time.sleep(10)

    # The main thread takes the GIL for a long call: the native loops go on.
    sent, start = controller.udpState.SendCount, time.monotonic()
    sum(range(50_000_000))
    held = time.monotonic() - start
    assert controller.udpState.SendCount - sent > 0.5 * held / PERIOD

    # A call that blocks releases the GIL: the control loop goes on.
    calls = len(stamps)
    controller.switchLevel(sdk.LOWLEVEL)  # sleeps one second
    assert len(stamps) - calls > 250

    for loop in reversed(loops):
        loop.shutdown()
    robot.GetRecv(echoed)
    ten_seconds = [t for t in stamps if t <= stamps[0] + 10]
    gaps = [b - a for a, b in zip(ten_seconds, ten_seconds[1:])]
    assert len(ten_seconds) > 0.9 * 10 / PERIOD
    # A loop that waited for the GIL would stall for a whole long call (a
    # second or more); real-time programs of other tests running beside this
    # one may hold an ordinary thread off the CPU for a good part of that.
    assert max(gaps) < 0.5, f"the control loop stalled for {max(gaps):.3f} s"
    assert controller.udpState.RecvCount > 0.5 * 10 / PERIOD
    assert robot.udpState.RecvCount > 0.5 * 10 / PERIOD
    assert sdk.LowCmd.from_bytes(bytes(cmd)).SN > 0.9 * 10 / PERIOD
