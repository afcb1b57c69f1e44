"""The state-driven loop with a Python control function: it answers each
state within its period, and a control function that fails stops only its
loop, with the error kept for the program."""
import os
import socket
import struct
import time

import pytest

import kalvent_legged_sdk as sdk

from conftest import bound_port

PERIOD = 0.002


def state_packet(tick):
    """A high-level state packet: the record's image with its checksum."""
    packet = bytearray(bytes(sdk.HighState(tick=tick)))
    words = len(packet) // 4 - 1
    struct.pack_into("<I", packet, 4 * words, sdk.crc32(packet, words))
    return bytes(packet)


@pytest.fixture
def robot():
    """A plain loopback socket playing the robot, and a high-level endpoint
    of the program connected to it."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as peer:
        peer.bind(("127.0.0.1", 0))
        udp = sdk.UDP(0, "127.0.0.1", peer.getsockname()[1], sdk.HIGH_CMD_LENGTH,
                      sdk.HIGH_STATE_LENGTH)
        udp.linkHealth().setWarnings(False)
        yield peer, udp


@pytest.fixture
def realtime():
    """SCHED_FIFO for this thread where permitted, so that the rest of a
    loaded machine does not preempt the exchange; loops started meanwhile
    inherit it."""
    before = os.sched_getscheduler(0), os.sched_getparam(0)
    try:
        os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(50))
    except PermissionError:
        pass
    yield
    os.sched_setscheduler(0, before[0], before[1])


def test_the_state_driven_loop_answers_each_state_before_the_next(robot, realtime):
    peer, udp = robot
    state, cmd = sdk.HighState(), sdk.HighCmd()

    def control(state, cmd, tick):
        if not tick.stale:
            cmd.SN = state.tick

    loop = sdk.HighStateLoop("answer", udp, state, cmd, PERIOD, 0.001, control)
    loop.start()
    peer.settimeout(5)
    _, program = peer.recvfrom(1024)  # a stale period's command: the program's address
    count, answered = 1000, 0
    for tick in range(1, count + 1):
        due = time.monotonic() + PERIOD
        peer.sendto(state_packet(tick), program)
        while (left := due - time.monotonic()) > 0:
            peer.settimeout(left)
            try:
                reply = peer.recv(1024)
            except TimeoutError:
                break
            if sdk.HighCmd.from_bytes(reply).SN == tick:
                answered += 1
                break
        time.sleep(max(due - time.monotonic(), 0))
    loop.shutdown()
    assert loop.status().iterations >= answered
    assert answered >= 0.99 * count, f"{answered} of {count} states answered in time"


def test_a_failing_control_function_stops_its_loop_and_is_raised_at_shutdown(robot, capfd):
    peer, udp = robot
    state, cmd = sdk.HighState(), sdk.HighCmd()
    with pytest.raises(TypeError, match=r"\(state, cmd, tick\)"):
        sdk.HighStateLoop("bad", udp, state, cmd, PERIOD, 0.0, lambda: None)

    calls = [0]

    def control(state, cmd, tick):
        calls[0] += 1
        cmd.SN = calls[0]
        if calls[0] == 3:
            raise RuntimeError("control failure 3")

    loop = sdk.HighStateLoop("failing", udp, state, cmd, PERIOD, 0.0, control)
    for _ in range(2):  # a stopped loop starts again, its error cleared
        calls[0] = 0
        loop.start()
        end = time.monotonic() + 10
        while loop.status().running and time.monotonic() < end:
            time.sleep(0.01)
        status = loop.status()
        assert (status.running, status.iterations, status.error) == (
            False, 3, "RuntimeError: control failure 3")
        assert isinstance(loop.error, RuntimeError)
        # The command the failing call half wrote never goes out.
        peer.settimeout(5)
        sent = [sdk.HighCmd.from_bytes(peer.recv(1024)).SN for _ in range(3)]
        assert sent == [1, 2, 2]
        # The endpoint is the loop's until its shutdown.
        with pytest.raises(RuntimeError, match="UDP.Send: a state loop runs"):
            udp.Send()
        other = sdk.HighStateLoop("other", udp, state, cmd, PERIOD, 0.0, control)
        with pytest.raises(RuntimeError, match="another state loop runs"):
            other.start()
        with pytest.raises(RuntimeError, match="control failure 3"):
            loop.shutdown()
        loop.shutdown()  # raised once only; stopped, it says so
        assert udp.Recv() == -3
    err = capfd.readouterr().err
    assert err.count("RuntimeError: control failure 3") == 2 and "Traceback" in err
    assert "state loop failing: shutdown nothing" in err
