"""Shared by the Python tests: the programs they compare with, loopback
endpoints, a child interpreter for what could crash one, and a deadline that
turns a hang into a failure with tracebacks."""
import faulthandler
import os
import socket
import subprocess
import sys

import pytest

import kalvent_legged_sdk as sdk

# A deadlock (a loop thread waiting for the GIL that a joining thread holds)
# would hang the run: dump every thread's stack and end it instead.
faulthandler.dump_traceback_later(300, exit=True)


def program(variable):
    """Path of a built program the test run names in the environment."""
    path = os.environ.get(variable)
    if not path:
        pytest.skip(f"{variable} is not set (run through CTest)")
    return path


def bound_port(endpoint):
    """The local port the kernel chose for an endpoint bound to port 0."""
    with socket.socket(fileno=os.dup(endpoint.socketFd())) as s:
        return s.getsockname()[1]


def run_python(script, *args):
    """Runs `script` in a child interpreter, so that a crash fails the test
    rather than ending the run; its stdout and stderr as text. The script may
    import this module's helpers."""
    path = os.pathsep.join(filter(None, [os.path.dirname(__file__), os.environ.get("PYTHONPATH")]))
    return subprocess.run([sys.executable, "-c", script, *args], capture_output=True, text=True,
                          timeout=120, env={**os.environ, "PYTHONPATH": path})


@pytest.fixture
def link():
    """A controller endpoint on loopback and the robot's end in server mode,
    both on ports the kernel chose, with low-level packet lengths."""
    robot = sdk.UDP(0, 0, sdk.LOW_STATE_LENGTH, sdk.LOW_CMD_LENGTH)
    controller = sdk.UDP(0, "127.0.0.1", bound_port(robot), sdk.LOW_CMD_LENGTH,
                         sdk.LOW_STATE_LENGTH)
    yield controller, robot
