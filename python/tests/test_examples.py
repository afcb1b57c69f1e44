"""The Python examples drive the simulated robot end to end, each in a
private network namespace of its own (skipped where none can be made)."""
import os
import re
import subprocess
import sys

import pytest

from conftest import program

EXAMPLES = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "examples"))
sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))
import kalvent_recording  # noqa: E402


# restart-*: the controller restarts mid-run and the example must carry on
# from the measured pose. back, hanging: a controller whose robot's feet carry
# nothing; the stand reaches its pose and must still fail.
@pytest.mark.parametrize("case,example", [("stand", "stand_low_level.py"),
                                          ("stand", "stand_state_driven.py"),
                                          ("walk", "walk_high_level.py"),
                                          ("trot", "trot_low_level.py"),
                                          ("restart-stand", "stand_low_level.py"),
                                          ("restart-walk", "walk_high_level.py"),
                                          ("back", "stand_low_level.py"),
                                          ("hanging", "stand_low_level.py")])
def test_example_against_the_simulator(case, example):
    robot = [program("KALVENT_UNLOADED_ROBOT")] if case in ("back", "hanging") else []
    simulated(case, *robot, os.path.join(EXAMPLES, example))


def test_a_recorded_stand_holds_every_command_and_state_the_simulator_counted(tmp_path):
    recording = tmp_path / "stand.lcmlog"
    recorded_stand = tmp_path / "recorded_stand"
    recorded_stand.write_text(f"#!/bin/sh\nexec {sys.executable} "
                              f"{EXAMPLES}/stand_low_level.py --record {recording} \"$@\"\n")
    recorded_stand.chmod(0o755)
    outcome = simulated("stand", str(recorded_stand))
    sent, taken, accepted = map(int, re.search(
        r"commands sent (\d+), taken (\d+); state sent \d+, accepted (\d+)", outcome).groups())
    run = kalvent_recording.load(str(recording))
    # A command sent while the simulator was not yet there counts as sent
    # but failed, and is not recorded.
    assert taken <= len(run["low_cmd"]["monotonic_ns"]) <= sent
    assert len(run["low_state"]["monotonic_ns"]) == accepted


def simulated(case, *programs):
    """Runs sim_e2e's `case` with `programs`; what it says on success."""
    # stdbuf: the library's own lines reach the log at once, as the script
    # waits for them.
    run = subprocess.run([program("KALVENT_SIM_E2E"), case, program("KALVENT_SIM"), *programs,
                          "stdbuf", "-oL"], capture_output=True, text=True, timeout=200)
    if run.returncode == 77:
        pytest.skip(run.stdout.strip())
    assert run.returncode == 0, run.stdout + run.stderr
    return run.stdout
