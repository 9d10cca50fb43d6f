"""The typing stub of `velora._velora_native` lists every registered function
with its parameters."""

from __future__ import annotations

import ast
import inspect
from pathlib import Path

from velora import _velora_native as native

STUB = Path(native.__file__).with_name("_velora_native.pyi")


def test_stub_matches_the_module() -> None:
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    functions = {n.name: n for n in tree.body if isinstance(n, ast.FunctionDef)}
    assert sorted(functions) == sorted(native.__all__)
    for name in native.__all__:
        params = list(inspect.signature(getattr(native, name)).parameters)
        assert [a.arg for a in functions[name].args.args] == params, name
