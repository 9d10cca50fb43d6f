"""The typing stub of `velora._velora_native` gives every function that has a
text signature the parameters the module takes (test_package checks the names)."""

from __future__ import annotations

import ast
import inspect
from pathlib import Path

from velora import _velora_native as native

STUB = Path(native.__file__).with_name("_velora_native.pyi")


def test_stub_parameters_match_the_module() -> None:
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    functions = {n.name: n for n in tree.body if isinstance(n, ast.FunctionDef)}
    checked = 0
    for name in native.__all__:
        try:
            params = list(inspect.signature(getattr(native, name)).parameters)
        except (ValueError, TypeError):  # no text signature (overloaded in the stub)
            continue
        node = functions[name]
        assert [a.arg for a in node.args.args + node.args.kwonlyargs] == params, name
        checked += 1
    assert checked >= 22  # the X-Wing (4), HPKE (7) and age (11) functions at least
