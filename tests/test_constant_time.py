"""MACs, tags and digests are compared in constant time, structurally: the package compares them
only through `velora.compare.equal` (hmac.compare_digest), never with ``==`` or ``!=``.

No timing test can see a MAC compared with ``!=``; this scan of the package's syntax can. An
operand counts as a MAC, tag or digest when its name (a variable, an attribute, a call such as
``header_mac(...)``) has a word mac, hmac, tag or digest (plurals too); names in capitals are
constants (sizes such as TAG_SIZE), not values.
"""

from __future__ import annotations

import ast
import pathlib
import re

import pytest

import velora

PACKAGE = pathlib.Path(velora.__file__).parent
_WORDS = re.compile(r"(?:^|_)(h?macs?|tags?|digests?)(?:_|$)")


def _name(node: ast.expr) -> str | None:
    """The name an operand is known by: x, obj.x, x(...), obj.x(...), x[...]."""
    while isinstance(node, (ast.Call, ast.Subscript)):
        node = node.func if isinstance(node, ast.Call) else node.value
    if isinstance(node, ast.Name):
        return node.id
    if isinstance(node, ast.Attribute):
        return node.attr
    return None


def secret_comparisons(source: str, filename: str) -> list[str]:
    """Every ``==`` / ``!=`` of `source` with an operand named like a MAC, tag or digest."""
    found = []
    for node in ast.walk(ast.parse(source, filename)):
        if not isinstance(node, ast.Compare):
            continue
        operands = [node.left, *node.comparators]
        for op, left, right in zip(node.ops, operands, operands[1:]):
            if not isinstance(op, (ast.Eq, ast.NotEq)):
                continue
            for operand in (left, right):
                name = _name(operand)
                if name is not None and not name.isupper() and _WORDS.search(name.lower()):
                    found.append(f"{filename}:{node.lineno}: {ast.unparse(node)}")
                    break
    return found


def test_no_mac_tag_or_digest_is_compared_with_eq() -> None:
    found = []
    for path in sorted(PACKAGE.rglob("*.py")):
        found += secret_comparisons(path.read_text(encoding="utf-8"), str(path.relative_to(PACKAGE)))
    assert not found, "compare these with velora.compare.equal:\n" + "\n".join(found)


@pytest.mark.parametrize(
    ("code", "caught"),
    [
        ("if header_mac(k, s) != self.mac: pass", True),  # the planted fault: the age header MAC
        ("ok = expected == digest", True),
        ("ok = frame.tag == tag", True),
        ("ok = tags[0] != want", True),
        ("ok = equal(header_mac(k, s), self.mac)", False),
        ("ok = len(tag) == TAG_SIZE", False),  # a length, and a constant
        ("ok = stage == 1", False),  # "tag" inside a word
        ("ok = mac is None", False),
    ],
)
def test_the_scan_catches_what_it_should(code: str, caught: bool) -> None:
    assert bool(secret_comparisons(code, "<case>")) is caught
