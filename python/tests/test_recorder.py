"""The recorder from Python: what a state loop sent and received lands in the
file, the recorder closes only once no state loop runs on its endpoint, and
a file that cannot be made is an OSError."""
import errno
import os
import socket
import sys
import time

import pytest

import kalvent_legged_sdk as sdk

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))
import kalvent_recording  # noqa: E402

from test_state_loop import state_packet  # noqa: E402


def test_a_state_loop_is_recorded_and_the_recorder_outlasts_it(tmp_path):
    path = tmp_path / "run.lcmlog"
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as peer:
        peer.bind(("127.0.0.1", 0))
        udp = sdk.UDP(0, "127.0.0.1", peer.getsockname()[1], sdk.HIGH_CMD_LENGTH,
                      sdk.HIGH_STATE_LENGTH)
        udp.linkHealth().setWarnings(False)
        loop = sdk.HighStateLoop("recorded", udp, sdk.HighState(), sdk.HighCmd(), 0.002, 0.001,
                                 lambda state, cmd, tick: None)
        with sdk.Recorder(path) as recorder:
            recorder.attach(loop)
            loop.start()
            peer.settimeout(5)
            _, program = peer.recvfrom(1024)
            for tick in range(1, 51):
                peer.sendto(state_packet(tick), program)
                time.sleep(0.002)
            with pytest.raises(RuntimeError, match="state loop runs"):
                recorder.close()
            loop.shutdown()
        assert recorder.closed
        stats = recorder.stats()
        link = udp.udpState
    run = kalvent_recording.load(str(path))
    assert len(run["high_state"]["monotonic_ns"]) == stats.statesRecorded == link.RecvCount > 0
    assert len(run["high_cmd"]["monotonic_ns"]) == stats.commandsRecorded == link.SendCount > 0
    assert stats.commandsDropped == stats.statesDropped == 0


def test_a_file_that_cannot_be_made_raises_oserror_with_errno(tmp_path):
    path = tmp_path / "missing" / "run.lcmlog"
    with pytest.raises(OSError) as raised:
        sdk.Recorder(path)
    assert raised.value.errno == errno.ENOENT
    assert raised.value.filename == str(path)
