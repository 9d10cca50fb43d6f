"""The package as importers and type checkers see it: its exports, its version, its stubs."""

from __future__ import annotations

import ast
import importlib.metadata
import pathlib

import velora
from velora import _velora_core as core
from velora import _velora_native as native

PACKAGE = pathlib.Path(velora.__file__).parent


def test_all_starts_with_the_core_module_names_and_every_name_resolves():
    assert velora.__all__[: len(core.__all__)] == list(core.__all__)
    assert len(set(velora.__all__)) == len(velora.__all__)
    for name in velora.__all__:
        assert hasattr(velora, name), name


def test_every_public_name_is_listed_in_all():
    # An import without a line in __all__ would be invisible to `from velora import *`.
    public = {n for n, v in vars(velora).items() if not n.startswith("_") and not isinstance(v, type(velora))}
    assert public <= set(velora.__all__), sorted(public - set(velora.__all__))


def test_version_is_the_distributions():
    assert velora.__version__ == importlib.metadata.version("velora")


def test_native_stub_lists_exactly_the_registered_functions():
    tree = ast.parse((PACKAGE / "_velora_native.pyi").read_text(encoding="utf-8"))
    # an overloaded function is listed once per signature
    functions = list(dict.fromkeys(n.name for n in tree.body if isinstance(n, ast.FunctionDef)))
    assert functions == list(native.__all__)
