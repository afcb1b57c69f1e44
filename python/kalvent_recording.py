"""Loads a recording of kalvent_legged_sdk (an LCM event log written by a
Recorder, kalvent_record or lcm-logger) into numpy arrays, one per field.

    import kalvent_recording
    run = kalvent_recording.load("stand.lcmlog")
    run["low_state"]["q"]            # shape (states, 20): joint positions, rad
    run["low_state"]["monotonic_ns"] # shape (states,)
    run["link_health"]["overall_loss"]

The record types are read from their LCM definitions (the .lcm files of the
package kalvent_log), so the arrays always match the recording's types.
Events of other channels are skipped. A recording cut short loads up to its
last whole event; a corrupted one raises ValueError naming the byte offset.
"""
import os
import re
import struct

import numpy as np

CHANNELS = {
    "KALVENT_LOW_CMD": "low_cmd",
    "KALVENT_LOW_STATE": "low_state",
    "KALVENT_HIGH_CMD": "high_cmd",
    "KALVENT_HIGH_STATE": "high_state",
    "KALVENT_LINK_HEALTH": "link_health",
}

# LCM's types, big-endian on the wire.
_WIRE_TYPES = {
    "int8_t": "i1", "byte": "u1", "boolean": "i1", "int16_t": ">i2", "int32_t": ">i4",
    "int64_t": ">i8", "float": ">f4", "double": ">f8",
}
_SYNC = 0xEDA1DA01
_HEADER = struct.Struct(">IqqII")
# Every encoded record starts with its type's 8-byte fingerprint.
_FINGERPRINT_BYTES = 8


def _default_types_dir():
    here = os.path.dirname(os.path.abspath(__file__))
    candidates = [os.environ.get("KALVENT_LCMTYPES", ""),
                  os.path.join(here, "kalvent_lcmtypes"),
                  os.path.join(here, "..", "lcmtypes"),
                  "/usr/share/kalvent_legged_sdk/lcmtypes",
                  "/usr/local/share/kalvent_legged_sdk/lcmtypes"]
    for directory in candidates:
        if directory and os.path.isfile(os.path.join(directory, "low_state.lcm")):
            return directory
    raise FileNotFoundError("the kalvent_log .lcm files were not found; pass lcmtypes=DIR")


def record_dtype(lcm_file):
    """The numpy dtype of one record of the struct that `lcm_file` defines
    (fixed-size fields only, as the kalvent_log types have)."""
    with open(lcm_file) as f:
        text = re.sub(r"//[^\n]*|/\*.*?\*/", "", f.read(), flags=re.S)
    body = re.search(r"struct\s+\w+\s*\{(.*)\}", text, re.S).group(1)
    fields = []
    for declaration in body.split(";"):
        match = re.match(r"\s*(\w+)\s+(\w+)\s*((?:\[\s*\d+\s*\])*)\s*$", declaration)
        if not match:
            if declaration.strip():
                raise ValueError(f"{lcm_file}: cannot read the field '{declaration.strip()}'")
            continue
        kind, name, dims = match.groups()
        shape = tuple(int(d) for d in re.findall(r"\d+", dims))
        fields.append((name, _WIRE_TYPES[kind], shape) if shape else (name, _WIRE_TYPES[kind]))
    return np.dtype(fields)


def read_events(path):
    """The (channel, data) of every whole event of an LCM event log."""
    with open(path, "rb") as f:
        content = f.read()
    offset = 0
    events = []
    while offset < len(content):
        if len(content) - offset < _HEADER.size:
            if content[offset:offset + 4] != struct.pack(">I", _SYNC)[:len(content) - offset]:
                raise ValueError(f"{path}: not an LCM event log at byte offset {offset}")
            break
        sync, _number, _time, channel_length, data_length = _HEADER.unpack_from(content, offset)
        if sync != _SYNC or not 0 < channel_length <= 256:
            raise ValueError(f"{path}: not an LCM event log at byte offset {offset}")
        start = offset + _HEADER.size
        end = start + channel_length + data_length
        if end > len(content):
            break  # cut short: the recording ends at the last whole event
        channel = content[start:start + channel_length].decode()
        events.append((channel, content[start + channel_length:end]))
        offset = end
    return events


def load(path, lcmtypes=None):
    """{type name: {field: numpy array}}, with one row per record, in the
    order of the file. Fields keep their LCM shapes after the row axis."""
    directory = lcmtypes or _default_types_dir()
    per_type = {}
    for channel, data in read_events(path):
        name = CHANNELS.get(channel)
        if name is not None:
            per_type.setdefault(name, []).append(data[_FINGERPRINT_BYTES:])
    result = {}
    for name, records in per_type.items():
        dtype = record_dtype(os.path.join(directory, name + ".lcm"))
        array = np.frombuffer(b"".join(records), dtype=dtype)
        result[name] = {field: array[field].astype(array.dtype[field].base.newbyteorder("="))
                        for field in dtype.names}
    return result
