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
    # The distribution is velora-pq (the name velora on the package index is another project's).
    assert velora.__version__ == importlib.metadata.version("velora-pq")
    assert importlib.metadata.packages_distributions()["velora"] == ["velora-pq"]


def test_native_stub_lists_exactly_the_registered_functions():
    tree = ast.parse((PACKAGE / "_velora_native.pyi").read_text(encoding="utf-8"))
    # an overloaded function is listed once per signature
    functions = list(dict.fromkeys(n.name for n in tree.body if isinstance(n, ast.FunctionDef)))
    assert functions == list(native.__all__)


def test_import_and_version_load_only_what_they_need():
    """`import velora` and `velora --version` load no part of the package they do not use
    (everything else loads on first use of its names)."""
    import subprocess
    import sys

    modules = "print(' '.join(sorted(m for m in sys.modules if m.startswith('velora'))))"
    done = subprocess.run([sys.executable, "-c", f"import sys, velora; {modules}"], capture_output=True, text=True,
                          check=True)
    assert done.stdout.split() == ["velora", "velora._velora_core", "velora._version"]
    code = ("import sys, contextlib, io, velora.cli\n"
            "with contextlib.redirect_stdout(io.StringIO()), contextlib.suppress(SystemExit):\n"
            "    velora.cli.main(['--version'])\n" + modules)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert done.stdout.split() == ["velora", "velora._velora_core", "velora._version", "velora.cli"]


def test_the_file_formats_load_on_first_lookup_in_a_fixed_order():
    """The registry imports its built-in formats itself, and tries them in one order whichever
    module a program imported first (here the age format's, before any lookup)."""
    import subprocess
    import sys

    code = ("import velora.age.file_format, velora.files.formats as f\n"
            "print(*[x.name for x in f.FORMATS]); print(*[x.name for x in f.formats()])\n"
            "try: f.for_prefix(b'?')\nexcept Exception as e: print(e)")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert done.stdout.splitlines() == ["age", "velora age",
                                        "not a velora or age encrypted file (unknown leading bytes)"]
