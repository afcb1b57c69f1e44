"""Leg kinematics from Python: numpy arrays of the documented shapes with the
C++ library's values, and a module that still imports without numpy."""
import os
import subprocess
import sys

import pytest

import kalvent_legged_sdk as sdk

np = pytest.importorskip("numpy")

# The C++ LegKinematics' foot position of FL at (0.3, 0.8, -1.5), and its
# Jacobian's entry z / thigh.
FL_FOOT = [0.16537231926763363, 0.21281036552569632, -0.25561258178579038]
FL_DZ_DTHIGH = 0.013974357154909156


def test_arrays_in_and_out_carry_the_library_values():
    k = sdk.LegKinematics()
    q = np.array([0.3, 0.8, -1.5])
    foot = k.footPosition(sdk.FL_, q)
    assert isinstance(foot, np.ndarray) and foot.shape == (3,)
    assert foot.tolist() == pytest.approx(FL_FOOT, abs=1e-15)
    jacobian = k.footJacobian(sdk.FL_, [0.3, 0.8, -1.5])
    assert jacobian.shape == (3, 3)
    assert jacobian[2, 1] == pytest.approx(FL_DZ_DTHIGH, abs=1e-15)
    force = np.array([1.0, -2.0, -30.0])
    assert k.jointTorques(sdk.FL_, q, force) == pytest.approx(jacobian.T @ force)
    assert k.footVelocity(sdk.FL_, q, (1, 2, 3)) == pytest.approx(jacobian @ [1, 2, 3])

    result, solved = k.inverseKinematics(sdk.FL_, foot)
    assert result == sdk.IkResult.Reached and solved == pytest.approx(q.tolist())
    assert k.inverseKinematics(sdk.FL_, [0, 0, -5])[0] == sdk.IkResult.OutOfReach
    assert k.inverseKinematics(sdk.FL_, [0, float("nan"), 0]) == (sdk.IkResult.Invalid, None)

    assert k.geometry().hipOffset.shape == (4, 3)
    with pytest.raises(ValueError):
        k.footPosition(sdk.FL_, [0.3, 0.8])
    with pytest.raises(IndexError):
        k.footPosition(4, q)


def test_the_module_imports_without_numpy():
    # numpy made unimportable: the module loads, and only the kinematics
    # calls need numpy.
    script = (
        "import sys; sys.modules['numpy'] = None\n"
        "import kalvent_legged_sdk as sdk\n"
        "k = sdk.LegKinematics()\n"
        "try:\n"
        "    k.footPosition(0, [0, 0, 0])\n"
        "except ImportError:\n"
        "    print('needs numpy')\n")
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         env=dict(os.environ), check=True, timeout=60).stdout
    assert out == "needs numpy\n"
