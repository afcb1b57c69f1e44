"""kalvent_recording against LCM's own encoding: records encoded by the
Python classes lcm-gen makes of the same .lcm files load field for field."""
import os
import random
import shutil
import subprocess
import sys

import numpy as np
import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))
import kalvent_recording  # noqa: E402

TYPES = os.path.join(HERE, "..", "..", "lcmtypes")


@pytest.fixture(scope="module")
def generated(tmp_path_factory):
    if shutil.which("lcm-gen") is None:
        pytest.skip("lcm-gen missing (package liblcm-bin)")
    out = tmp_path_factory.mktemp("lcmpy")
    lcm_files = [os.path.join(TYPES, f) for f in sorted(os.listdir(TYPES))]
    subprocess.run(["lcm-gen", "--python", "--ppath", str(out)] + lcm_files, check=True)
    sys.path.insert(0, str(out))
    import kalvent_log
    return kalvent_log


def random_record(cls, dtype, rng):
    """A record of random values of each field's kind, with LCM's shapes."""
    record = cls()
    for field in cls.__slots__:
        base = dtype[field].base
        def draw():
            if base.kind == "f":
                return rng.uniform(-1e3, 1e3)
            bits = 8 * base.itemsize
            low = 0 if base.kind == "u" else -(1 << (bits - 1))
            return rng.randrange(low, low + (1 << bits))
        def fill(shape):
            return [fill(shape[1:]) for _ in range(shape[0])] if shape else draw()
        setattr(record, field, fill(dtype[field].shape))
    return record


def event(number, channel, data):
    header = kalvent_recording._HEADER.pack(0xEDA1DA01, number, 1000 * number, len(channel),
                                            len(data))
    return header + channel.encode() + data


def test_loads_every_field_and_stops_at_a_cut(generated, tmp_path):
    rng = random.Random(5)
    types = {"KALVENT_LOW_STATE": generated.low_state, "KALVENT_LOW_CMD": generated.low_cmd,
             "KALVENT_HIGH_STATE": generated.high_state, "KALVENT_HIGH_CMD": generated.high_cmd,
             "KALVENT_LINK_HEALTH": generated.link_health}
    written = {}
    content = b""
    for number in range(40):
        channel = list(types)[number % len(types)]
        name = kalvent_recording.CHANNELS[channel]
        dtype = kalvent_recording.record_dtype(os.path.join(TYPES, name + ".lcm"))
        record = random_record(types[channel], dtype, rng)
        written.setdefault(kalvent_recording.CHANNELS[channel], []).append(record)
        content += event(number, channel, record.encode())
    content += event(40, "OTHER", b"x")
    path = tmp_path / "run.lcmlog"
    path.write_bytes(content + event(41, "KALVENT_LOW_CMD", b"12345")[:-2])  # cut short

    run = kalvent_recording.load(str(path), lcmtypes=TYPES)
    assert sorted(run) == sorted(written)
    for name, records in written.items():
        for field in records[0].__slots__:
            expected = np.array([getattr(r, field) for r in records])
            got = run[name][field]
            assert got.shape == expected.shape, (name, field)
            assert np.array_equal(got, expected.astype(got.dtype)), (name, field)

    path.write_bytes(b"\x00" + content[1:])
    with pytest.raises(ValueError, match="byte offset 0"):
        kalvent_recording.load(str(path), lcmtypes=TYPES)
