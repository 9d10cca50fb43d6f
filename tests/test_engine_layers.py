"""The engine's rooms (docs/architecture.md, "Engine"): every `#include "..."` under src/ runs down
the layers, and the outside libraries are included where the page says: Python.h only in bindings/,
OpenSSL and ipsec-mb only in primitives/."""

from __future__ import annotations

import pathlib
import re

import pytest

SRC = pathlib.Path(__file__).resolve().parents[1] / "src"

#: For each room, the rooms its files may include (itself always).
ALLOWED: dict[str, set[str]] = {
    "platform": set(),
    "primitives": {"platform"},
    "core": {"primitives", "platform"},
    "bindings": {"core", "primitives", "platform"},
}

#: Inside core/: the folders a folder may include (keys and mlkem are below every protocol).
CORE_ALLOWED: dict[str, set[str]] = {
    "mlkem": set(),
    "keys": {"mlkem"},
    "xwing": {"mlkem", "keys"},
    "hpke": {"mlkem", "keys", "xwing"},
    "age": {"hpke", "xwing"},
    "hybrid": {"mlkem"},
    "stream": {"mlkem"},
    "key_wrap": {"mlkem"},
    "mldsa": {"mlkem"},  # the kernel choice (mlkem/math/kernels.hpp) is one for the engine
}

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.M)
SOURCES = sorted(p for p in SRC.rglob("*") if p.suffix in {".cpp", ".hpp"})


def _room(path: pathlib.Path) -> tuple[str, str | None]:
    parts = path.relative_to(SRC).parts
    sub = parts[1] if parts[0] == "core" and len(parts) > 2 else None
    return parts[0], sub


@pytest.mark.skipif(not SOURCES, reason="no src/ beside the tests (an installed copy of the tests)")
def test_includes_run_down_the_layers() -> None:
    wrong = []
    for path in SOURCES:
        room, sub = _room(path)
        for kind, name in INCLUDE.findall(path.read_text(encoding="utf-8")):
            target = name.split("/")[0]
            if kind == "<":
                if name == "Python.h" and room != "bindings":
                    wrong.append(f"{path.relative_to(SRC)}: <{name}> outside bindings/")
                if (target in {"openssl", "intel-ipsec-mb.h"}) and room != "primitives":
                    wrong.append(f"{path.relative_to(SRC)}: <{name}> outside primitives/")
                continue
            if target == room:
                if room == "core" and sub is not None:
                    parts = name.split("/")
                    other = parts[1] if len(parts) > 2 else None
                    if other is not None and other != sub and other not in CORE_ALLOWED.get(sub, set()):
                        wrong.append(f"{path.relative_to(SRC)}: core/{sub} includes \"{name}\"")
                continue
            if target not in ALLOWED[room]:
                wrong.append(f"{path.relative_to(SRC)}: {room} includes \"{name}\"")
    assert not wrong, "\n".join(wrong)
