#!/usr/bin/env python3
"""Writes the ```python blocks of a Markdown file as one Python module for a type checker.

Usage: readme_examples.py README.md OUT.py

The blocks are taken in reading order as one program (a later example uses the
names an earlier one made, as a reader running them would). Every other line
becomes an empty line, so line numbers in the checker's messages are those of
the Markdown file. Fails when the file has no python block, so that the check
cannot pass on nothing.
"""

from __future__ import annotations

import pathlib
import sys


def python_lines(markdown: str) -> tuple[list[str], int]:
    """The file's lines with everything outside ```python blocks blanked, and the number of blocks."""
    out: list[str] = []
    blocks = 0
    inside = False
    for line in markdown.splitlines():
        fence = line.strip()
        if not inside and fence == "```python":
            inside = True
            blocks += 1
            out.append("")
        elif inside and fence == "```":
            inside = False
            out.append("")
        else:
            out.append(line if inside else "")
    if inside:
        raise SystemExit("readme_examples: a ```python block is not closed")
    return out, blocks


def main(argv: list[str]) -> int:
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    source, target = pathlib.Path(argv[1]), pathlib.Path(argv[2])
    lines, blocks = python_lines(source.read_text(encoding="utf-8"))
    if blocks == 0:
        print(f"readme_examples: no ```python block in {source}", file=sys.stderr)
        return 1
    target.parent.mkdir(parents=True, exist_ok=True)
    target.write_text("\n".join(lines) + "\n", encoding="utf-8")
    print(f"readme_examples: {blocks} python blocks of {source} -> {target}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
