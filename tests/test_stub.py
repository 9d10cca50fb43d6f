"""The typing stub describes exactly what the module registers."""

from __future__ import annotations

import ast
import inspect
import pathlib

import pytest

from conftest import core

STUB = pathlib.Path(core.__file__).with_name("_velora_core.pyi")


@pytest.fixture(scope="module")
def stub() -> dict[str, ast.AST]:
    assert STUB.is_file(), f"typing stub not installed beside the module: {STUB}"
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    return {node.name: node for node in tree.body if isinstance(node, (ast.ClassDef, ast.FunctionDef))}


def test_stub_names_follow_registration_order(stub):
    assert list(stub) == list(core.__all__)


def test_stub_function_signatures(stub):
    for name in core.__all__:
        obj = getattr(core, name)
        if isinstance(obj, type):
            continue
        node = stub[name]
        assert isinstance(node, ast.FunctionDef), name
        params = inspect.signature(obj).parameters
        assert [a.arg for a in node.args.args] == list(params), name
        # exactly the parameters with a default in the module have `= ...` in the stub
        n_defaults = sum(p.default is not inspect.Parameter.empty for p in params.values())
        assert len(node.args.defaults) == n_defaults, name
        assert all(isinstance(d, ast.Constant) and d.value is Ellipsis for d in node.args.defaults), name


def test_stub_classes_list_their_public_members(stub):
    for name in core.__all__:
        cls = getattr(core, name)
        if not isinstance(cls, type) or issubclass(cls, BaseException):
            continue
        node = stub[name]
        declared = set()
        for item in node.body:
            if isinstance(item, ast.FunctionDef):
                declared.add(item.name)
            elif isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name):
                declared.add(item.target.id)
        public = {n for n in vars(cls) if not n.startswith("_")}
        assert public <= declared, f"{name}: missing from the stub: {sorted(public - declared)}"
        assert {n for n in declared if not n.startswith("_")} <= public, name


def test_exception_stubs_name_their_bases(stub):
    for name in core.__all__:
        cls = getattr(core, name)
        if isinstance(cls, type) and issubclass(cls, BaseException):
            bases = [b.id for b in stub[name].bases]
            assert bases == [b.__name__ for b in cls.__bases__], name
