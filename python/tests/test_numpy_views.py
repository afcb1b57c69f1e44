"""Numpy views alias their record: a write through either shows in the
other, for the joint arrays one motor record apart, the foot forces and the
IMU vectors; the module works without numpy until a view is asked for."""
import gc
import os
import subprocess
import sys

import pytest

import kalvent_legged_sdk as sdk

np = pytest.importorskip("numpy")


def test_views_alias_the_record_both_ways():
    state, cmd = sdk.LowState(), sdk.LowCmd()
    for name in ("q", "dq", "ddq", "tauEst"):
        view = state.view(name)
        assert (view.dtype, view.shape, view.strides) == (np.float32, (12,), (sdk.MotorState.SIZE,))
        setattr(state.motorState[3], name, 1.5)
        view[11] = -2.5
        assert view[3] == 1.5 and getattr(state.motorState[11], name) == -2.5
        assert view[2] == 0 and getattr(state.motorState[12], name) == 0  # its own field only
    forces = state.view("footForceEst")
    state.footForceEst[1] = -7
    forces[3] = 300
    assert (forces.dtype, forces.tolist(), state.footForceEst.tolist()) == (
        np.int16, [0, -7, 0, 300], [0, -7, 0, 300])
    rpy = state.view("rpy")
    state.imu.rpy[0] = 0.25
    rpy[2] = 3.0
    assert rpy.tolist() == [0.25, 0, 3.0] and state.imu.rpy.tolist() == [0.25, 0, 3.0]
    high = sdk.HighState()
    high.view("quaternion")[:] = (1, 2, 3, 4)
    assert high.imu.quaternion.tolist() == [1, 2, 3, 4]

    kp = cmd.view("Kp")
    kp[:] = np.arange(12, dtype=np.float64)
    assert [cmd.motorCmd[k].Kp for k in range(13)] == list(range(12)) + [0]
    cmd.motorCmd[5].q = 0.5
    assert cmd.view("q")[5] == 0.5

    with pytest.raises(KeyError, match="tauEst"):
        state.view("tau")
    orphan = sdk.LowState(tick=1).view("q")
    gc.collect()
    orphan[0] = 1.0  # the view keeps its record alive
    assert orphan.base.tick == 1


def test_the_module_imports_without_numpy_and_names_what_needs_it():
    script = ("import sys; sys.modules['numpy'] = None\n"
              "import kalvent_legged_sdk as sdk\n"
              "state = sdk.LowState(); state.motorState[0].q = 1.0\n"
              "try:\n    state.view('q')\nexcept ImportError as e:\n    print(e)\n")
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         timeout=60, env=os.environ)
    assert run.returncode == 0, run.stderr
    assert run.stdout == "LowState.view() needs numpy (Debian: apt install python3-numpy)\n"
