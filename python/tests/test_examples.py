"""The Python examples drive the simulated robot end to end, each in a
private network namespace of its own (skipped where none can be made)."""
import os
import subprocess

import pytest

from conftest import program

EXAMPLES = os.path.join(os.path.dirname(__file__), "..", "examples")


@pytest.mark.parametrize("mode,example", [("stand", "stand_low_level.py"),
                                          ("walk", "walk_high_level.py")])
def test_example_against_the_simulator(mode, example):
    run = subprocess.run([program("KALVENT_SIM_E2E"), mode, program("KALVENT_SIM"),
                          os.path.join(EXAMPLES, example)],
                         capture_output=True, text=True, timeout=200)
    if run.returncode == 77:
        pytest.skip(run.stdout.strip())
    assert run.returncode == 0, run.stdout + run.stderr
