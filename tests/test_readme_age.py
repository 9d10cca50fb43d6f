"""The Python examples of the age, X-Wing and HPKE guides (docs/guide/age.md and hpke-xwing.md, once the
README's age section) run as they stand, each on its own (`make doctest` runs them as one program per page
too, and `make typecheck` checks them with mypy --strict)."""

from __future__ import annotations

import re
from pathlib import Path

import pytest

GUIDES = Path(__file__).resolve().parent.parent / "docs" / "guide"


def _examples() -> list[str]:
    out = []
    for page in ("age.md", "hpke-xwing.md"):
        out += re.findall(r"```python\n(.*?)```", (GUIDES / page).read_text(encoding="utf-8"), re.S)
    return out


def test_the_guides_have_their_examples() -> None:
    assert len(_examples()) == 3


@pytest.mark.parametrize("index", range(3))
def test_example_runs(index: int) -> None:
    exec(compile(_examples()[index], f"guide example {index}", "exec"), {})
