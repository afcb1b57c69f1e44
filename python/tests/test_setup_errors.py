"""A failed set-up raises (OSError with the errno for a system step,
ValueError for a bad argument) and the interpreter goes on. Each case runs in
a child, since an endpoint that ends the process would end the test run."""
import errno

import pytest

from conftest import run_python

CASES = {
    "port in use": ("taken = sdk.UDP(0, 0, 4, 4)\n"
                    "sdk.UDP(bound_port(taken), '127.0.0.1', 9, 4, 4)", "OSError", errno.EADDRINUSE),
    "not an address": ("sdk.UDP(0, 'not.an.ip', 9, 4, 4)", "OSError", errno.EINVAL),
    "level": ("sdk.UDP(7)", "ValueError", None),
    "client length": ("sdk.UDP(0, '127.0.0.1', 9, 3, 4)", "ValueError", None),
    "server length": ("sdk.UDP(0, 9, 4, 3)", "ValueError", None),
    "lcm level": ("sdk.LCM(7)", "ValueError", None),
    "robot model": ("sdk.Safety(sdk.LeggedType(5))", "ValueError", None),
}


@pytest.mark.parametrize("setup, raised, code", CASES.values(), ids=CASES.keys())
def test_set_up_failure_raises_and_the_interpreter_goes_on(setup, raised, code):
    script = ("import kalvent_legged_sdk as sdk\n"
              "from conftest import bound_port\n"
              "try:\n" + "".join(f"    {line}\n" for line in setup.splitlines()) +
              "except Exception as e:\n"
              "    print('raised', type(e).__name__, getattr(e, 'errno', None), flush=True)\n"
              "print('goes on', flush=True)\n")
    child = run_python(script)
    assert f"raised {raised} {code}\ngoes on\n" in child.stdout, child.stdout + child.stderr
    assert child.returncode == 0, child.stderr
