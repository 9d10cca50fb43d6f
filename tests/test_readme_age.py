"""The Python examples of the README's age, X-Wing and HPKE section run as they
stand (`make typecheck` checks them with mypy --strict)."""

from __future__ import annotations

import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"


def _examples() -> list[str]:
    text = README.read_text(encoding="utf-8")
    section = text.split("\n## age files, X-Wing and HPKE\n", 1)[1].split("\n## ", 1)[0]
    return re.findall(r"```python\n(.*?)```", section, re.S)


def test_the_section_has_examples() -> None:
    assert len(_examples()) == 3


@pytest.mark.parametrize("index", range(3))
def test_example_runs(index: int) -> None:
    exec(compile(_examples()[index], f"README example {index}", "exec"), {})
