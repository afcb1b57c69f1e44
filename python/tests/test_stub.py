"""The installed type stub carries the module's own docstrings."""
import ast
import inspect
import os

import kalvent_legged_sdk as sdk


def stub_tree():
    path = os.path.join(os.path.dirname(sdk.__file__), "kalvent_legged_sdk.pyi")
    with open(path, encoding="utf-8") as f:
        return ast.parse(f.read())


def test_stub_docstrings_are_the_bindings():
    tree = stub_tree()
    assert ast.get_docstring(tree) == inspect.cleandoc(sdk.__doc__)
    udp = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "UDP")
    assert ast.get_docstring(udp) == inspect.cleandoc(sdk.UDP.__doc__)
    methods = [n for n in udp.body if isinstance(n, ast.FunctionDef)]
    # A plain method: its text without the signature line.
    send = next(n for n in methods if n.name == "Send")
    assert ast.get_docstring(send) == inspect.cleandoc(sdk.UDP.Send.__doc__.split("\n", 1)[1])
    # An overloaded one: each overload its own text, in the bindings' order.
    runtime = sdk.UDP.__init__.__doc__
    texts = [ast.get_docstring(n) for n in methods if n.name == "__init__"]
    assert len(texts) == 3 and all(texts)
    at = [runtime.find(f"\n{i}. __init__(") for i in (1, 2, 3)]
    assert all(at[i] < runtime.find(texts[i].split("\n")[0]) < (at[i + 1:] or [len(runtime)])[0]
               for i in range(3))
