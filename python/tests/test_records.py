"""Records from Python have the C++ byte images, and nested views write
through to the record they belong to."""
import array
import gc
import math
import socket
import struct
import subprocess

import pytest

import kalvent_legged_sdk as sdk
from conftest import program


def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


def field(i):
    """wire_dump's field(i), in single precision like the C++."""
    return f32(f32(i * f32(0.37)) - f32(3.1))


@pytest.fixture(scope="module")
def dumps():
    """wire_dump's records: name -> bytes."""
    out = subprocess.run([program("KALVENT_WIRE_DUMP")], capture_output=True, text=True,
                         check=True).stdout
    records, name = {}, None
    for line in out.splitlines():
        if line.startswith("  "):
            records[name] += bytes.fromhex(line.strip())
        else:
            name = line.rsplit(" ", 1)[0]
            records[name] = b""
    return records


def edge_command():
    """wire_dump's command with values at and beyond the scaled fields' ends."""
    nan, inf = math.nan, math.inf
    taus = [127.99609375, -128.0, 128.0, -1e9, nan, inf, -inf, 1.999, -0.003, 0.5, -0.5,
            1e-30, 3e38, -128.001, 127.999, -1.5, 64.0, -64.25, 0.0, -0.0]
    taus = [f32(t) for t in taus]
    cmd = sdk.LowCmd(levelFlag=sdk.LOWLEVEL, SN=0x01020304, reserve=0xFEDCBA98)
    for k in range(20):
        m = cmd.motorCmd[k]
        m.mode = 10 if k % 2 == 0 else 0
        m.q = field(k)
        m.dq = sdk.VelStopF if k == 7 else field(40 - k)
        m.tau = taus[k]
        m.Kp = taus[(k + 7) % 20] * 8.0
        m.Kd = taus[(k + 13) % 20] * 16.0
        m.reserve[0] = 0x10000000 * (k % 16)
    cmd.led[1] = sdk.LED(r=255, g=128, b=1)
    cmd.wirelessRemote = [(i * 13) % 256 for i in range(40)]
    return cmd


def test_records_have_the_cpp_byte_images(dumps):
    high_cmd = sdk.HighCmd(commVersion=0x0102, SN=0xA1B2C3D4, mode=2, forwardSpeed=0.25,
                           rotateSpeed=-0.5)
    high_cmd.led[3].r, high_cmd.led[3].g, high_cmd.led[3].b = 1, 2, 3
    high_cmd.AppRemote = [(i * 7) % 256 for i in range(40)]
    high_cmd.crc = sdk.crc32(bytes(high_cmd), 34)
    assert bytes(high_cmd) == dumps["HighCmd"]

    state = sdk.HighState(forwardPosition=12.5, footForceEst=[0, -300, 0, 0], tick=123456789)
    state.imu.quaternion[0] = 1.0
    state.imu.temperature = -5
    state.footPosition2Body[2] = sdk.Cartesian(x=0.2, y=-0.15, z=-0.3)
    state.crc = sdk.crc32(bytes(state), 63)
    assert bytes(state) == dumps["HighState"]

    counters = sdk.UDPState()
    (counters.TotalCount, counters.SendCount, counters.RecvCount, counters.SendError,
     counters.FlagError, counters.RecvCRCError, counters.RecvLoseError) = (
        1, 2, 3, 4, 5, 6, 2**64 - 1)
    assert bytes(counters) == dumps["UDPState"]

    assert bytes(edge_command()) == dumps["LowCmd"]
    for name in ("HighCmd", "HighState", "LowCmd"):
        record = getattr(sdk, name).from_bytes(dumps[name])
        assert bytes(record) == dumps[name]


def test_endpoint_sends_and_decodes_the_cpp_packets(dumps, link):
    controller, robot = link
    # The controller's packet as a plain socket receives it.
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as peer:
        peer.bind(("127.0.0.1", 0))
        sender = sdk.UDP(0, "127.0.0.1", peer.getsockname()[1], sdk.LOW_CMD_LENGTH,
                         sdk.LOW_STATE_LENGTH)
        sender.SetSend(edge_command())
        assert sender.Send() == sdk.LOW_CMD_LENGTH
        assert peer.recv(2048) == dumps["LowCmd_t sent"]

    # The state packet into a record that was all 0x5A.
    packet = bytearray(dumps["LowState_t"])
    controller.SetSend(sdk.LowCmd())
    controller.Send()
    for _ in range(200):  # the robot learns its peer from the first datagram
        robot.Recv()
        if robot.targetIP:
            break
    robot.SetSend(packet)
    robot.Send()
    for _ in range(200):
        if controller.Recv() == 0:
            break
    decoded = sdk.LowState.from_bytes(b"\x5a" * sdk.LowState.SIZE)
    controller.GetRecv(decoded)
    assert bytes(decoded) == dumps["LowState decoded"]


def test_endpoint_takes_the_high_level_records():
    udp = sdk.UDP(0, "127.0.0.1", 9, sdk.HIGH_CMD_LENGTH, sdk.HIGH_STATE_LENGTH)
    cmd = sdk.HighCmd(mode=2, forwardSpeed=0.5)
    udp.SetSend(cmd)
    image = bytes(cmd)
    assert cmd.crc == sdk.crc32(image, len(image) // 4 - 1) != 0
    state = sdk.HighState.from_bytes(b"\x5a" * sdk.HighState.SIZE)
    udp.GetRecv(state)  # nothing received yet: zeros
    assert bytes(state) == bytes(sdk.HighState.SIZE)


def test_raw_packets_of_another_length_are_refused_unwritten():
    """A raw send packet is exactly the send length (its checksum goes into
    its last four bytes); a receive buffer is at least the receive length."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as peer:
        peer.bind(("127.0.0.1", 0))
        udp = sdk.UDP(0, "127.0.0.1", peer.getsockname()[1], sdk.LOW_CMD_LENGTH,
                      sdk.LOW_STATE_LENGTH)
        stored = bytearray(b"\x11" * sdk.LOW_CMD_LENGTH)
        udp.SetSend(stored)
        for length in (0, 4, sdk.LOW_CMD_LENGTH - 1, sdk.LOW_CMD_LENGTH + 1):
            packet = bytearray(b"\x22" * length)
            with pytest.raises(ValueError):
                udp.SetSend(packet)
            with pytest.raises(ValueError):
                udp.SetSend(packet=packet)
            assert packet == b"\x22" * length
        udp.Send()
        assert peer.recv(2048) == stored
        for length in (0, 4, sdk.LOW_STATE_LENGTH - 1):
            with pytest.raises(ValueError):
                udp.GetRecv(bytearray(length))
            with pytest.raises(ValueError):
                udp.GetRecv(packet=memoryview(bytearray(length)))
        longer = bytearray(b"\x33" * (sdk.LOW_STATE_LENGTH + 1))
        udp.GetRecv(longer)
        assert longer == bytes(sdk.LOW_STATE_LENGTH) + b"\x33"


def test_nested_views_write_through_and_outlive_their_record():
    state = sdk.LowState()
    motor = state.motorState[3]
    motor.q = 1.5
    state.imu.quaternion[1] = -0.25
    image = bytes(state)
    assert struct.unpack_from("<f", image, 63 + 3 * 38 + 1)[0] == 1.5
    assert struct.unpack_from("<f", image, 10 + 4)[0] == -0.25
    assert state.motorState[3].q == 1.5 and state.imu.quaternion[1] == -0.25

    del state
    gc.collect()
    motor.dq = 2.0  # still the dropped record's bytes, kept alive by the view
    assert (motor.q, motor.dq) == (1.5, 2.0)

    cmd = sdk.LowCmd()
    cmd.motorCmd[2] = sdk.MotorCmd(q=0.5, Kp=20)
    copy = cmd.motorCmd[2].copy()
    copy.q = 9.0
    assert (cmd.motorCmd[2].q, cmd.motorCmd[2].Kp, copy.q) == (0.5, 20.0, 9.0)
    with pytest.raises(IndexError):
        cmd.motorCmd[20]
    with pytest.raises(ValueError):
        sdk.LowCmd.from_bytes(bytes(729))


def test_joint_arrays_in_one_call():
    cmd = sdk.LowCmd()
    q = [0.125 * j for j in range(12)]
    cmd.set_joints(q=q, dq=array.array("f", [-x for x in q]), Kp=50, Kd=(3.0,) * 12,
                   tau=range(12), mode=10)
    for j in (0, 5, 11):
        m = cmd.motorCmd[j]
        assert (m.mode, m.q, m.dq, m.Kp, m.Kd, m.tau) == (10, q[j], -q[j], 50.0, 3.0, float(j))
    assert cmd.motorCmd[12].q == 0.0  # slots 12-19 are not legs
    assert cmd.joint_command()[0] == tuple(q)
    cmd.set_joints(mode=255)
    assert cmd.motorCmd[11].mode == 255
    with pytest.raises(ValueError):
        cmd.set_joints(mode=256)

    before = bytes(cmd)
    with pytest.raises(ValueError):
        cmd.set_joints(q=[1.0] * 12, Kp=[1.0] * 11)
    assert bytes(cmd) == before  # a bad argument writes nothing

    state = sdk.LowState()
    for j in range(13):
        state.motorState[j].q, state.motorState[j].dq, state.motorState[j].tauEst = j, -j, 2 * j
    q, dq, tau = state.joint_state()
    assert q == tuple(float(j) for j in range(12)) and dq[4] == -4.0 and tau[11] == 22.0
    out = [array.array("d", [0.0] * 12) for _ in range(3)]
    state.joint_state_into(*out)
    assert list(out[0]) == list(q) and list(out[2]) == list(tau)
