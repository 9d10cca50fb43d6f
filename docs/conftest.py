"""Every code example of the documentation runs (make doctest, part of make test).

- ```pycon blocks are doctests (``>>>`` and the expected output), all the page's blocks one session.
- ```python blocks run, in reading order, as one program per page (a later block uses the names an
  earlier one made), in a fresh scratch directory; a failure's line numbers are the page's.
- ```console blocks are command lines: each ``$ command`` runs with bash in the page's scratch
  directory, with the environment's ``velora`` first on PATH, and what it prints (standard output
  and error together) must match the lines below it, ``...`` standing for any text.

Each page is one session: its blocks share their scratch directory, in order.
"""

from __future__ import annotations

import doctest
import os
import pathlib
import re
import subprocess
import sys
import tempfile
from collections.abc import Iterator
from dataclasses import dataclass

import pytest

FENCE = re.compile(r"^```([a-z]*)\s*$")
BIN = str(pathlib.Path(sys.executable).parent)


@dataclass
class Block:
    lang: str
    first_line: int  # 1-based line of the block's first content line
    lines: list[str]


def fenced_blocks(text: str) -> list[Block]:
    blocks: list[Block] = []
    current: Block | None = None
    for number, line in enumerate(text.splitlines(), 1):
        m = FENCE.match(line)
        if current is None and m and m.group(1):
            current = Block(m.group(1), number + 1, [])
        elif current is not None and line.strip() == "```":
            blocks.append(current)
            current = None
        elif current is not None:
            current.lines.append(line)
    if current is not None:
        raise ValueError(f"a ```{current.lang} block from line {current.first_line - 1} is not closed")
    return blocks


def pytest_collect_file(file_path: pathlib.Path, parent: pytest.Collector) -> pytest.Collector | None:
    if file_path.suffix == ".md":
        return MarkdownPage.from_parent(parent, path=file_path)
    return None


class MarkdownPage(pytest.File):
    def collect(self) -> Iterator[pytest.Item]:
        blocks = fenced_blocks(self.path.read_text(encoding="utf-8"))
        python = [b for b in blocks if b.lang == "python"]
        console = [b for b in blocks if b.lang == "console"]
        pycon = [b for b in blocks if b.lang == "pycon"]
        if pycon:
            yield DoctestBlocks.from_parent(self, name="doctest", blocks=pycon)
        if python:
            yield PythonBlocks.from_parent(self, name="python", blocks=python)
        if console:
            yield ConsoleBlocks.from_parent(self, name="console", blocks=console)


def _page_text(blocks: list[Block]) -> str:
    """The blocks' lines at their own line numbers, everything else blank."""
    total = max(b.first_line + len(b.lines) for b in blocks)
    lines = [""] * total
    for b in blocks:
        lines[b.first_line - 1 : b.first_line - 1 + len(b.lines)] = b.lines
    return "\n".join(lines) + "\n"


class DoctestBlocks(pytest.Item):
    def __init__(self, *, blocks: list[Block], **kw: object) -> None:
        super().__init__(**kw)  # type: ignore[arg-type]
        self.blocks = blocks

    def runtest(self) -> None:
        flags = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE
        test = doctest.DocTestParser().get_doctest(_page_text(self.blocks), {"__name__": "__doc__"}, self.path.name,
                                                   str(self.path), 0)
        runner = doctest.DocTestRunner(optionflags=flags)
        report: list[str] = []
        with tempfile.TemporaryDirectory() as scratch:
            here = os.getcwd()
            os.chdir(scratch)
            try:
                result = runner.run(test, out=report.append, clear_globs=True)
            finally:
                os.chdir(here)
        if result.failed:
            raise PageFailure("".join(report))

    def reportinfo(self) -> tuple[pathlib.Path, int, str]:
        return self.path, self.blocks[0].first_line - 1, f"{self.path.name}: doctest"


class PythonBlocks(pytest.Item):
    def __init__(self, *, blocks: list[Block], **kw: object) -> None:
        super().__init__(**kw)  # type: ignore[arg-type]
        self.blocks = blocks

    def runtest(self) -> None:
        with tempfile.TemporaryDirectory() as scratch:
            program = pathlib.Path(scratch) / self.path.name.replace(".md", "_md.py")
            program.write_text(_page_text(self.blocks), encoding="utf-8")
            run = subprocess.run([sys.executable, str(program)], capture_output=True, text=True, timeout=600,
                                 cwd=scratch)
        if run.returncode != 0:
            raise PageFailure(f"the python blocks of {self.path.name} failed:\n{run.stderr[-4000:]}")

    def reportinfo(self) -> tuple[pathlib.Path, int, str]:
        return self.path, self.blocks[0].first_line - 1, f"{self.path.name}: python blocks"


class ConsoleBlocks(pytest.Item):
    def __init__(self, *, blocks: list[Block], **kw: object) -> None:
        super().__init__(**kw)  # type: ignore[arg-type]
        self.blocks = blocks

    def runtest(self) -> None:
        env = dict(os.environ, PATH=BIN + os.pathsep + os.environ.get("PATH", ""), COLUMNS="100")
        checker = doctest.OutputChecker()
        flags = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE
        with tempfile.TemporaryDirectory() as scratch:
            self._run(scratch, env, checker, flags)

    def _run(self, scratch: str, env: dict[str, str], checker: doctest.OutputChecker, flags: int) -> None:
        for block in self.blocks:
            for line, command, expected in _commands(block):
                run = subprocess.run(["bash", "-c", command], capture_output=True, text=True, env=env, timeout=600,
                                     stdin=subprocess.DEVNULL, cwd=scratch)
                got = run.stdout + run.stderr
                if run.returncode != 0 and "[status " not in expected:
                    raise PageFailure(f"{self.path.name}:{line}: `{command}` exited {run.returncode}:\n{got}")
                if run.returncode != 0:
                    got += f"[status {run.returncode}]\n"
                if not checker.check_output(expected, got, flags):
                    raise PageFailure(f"{self.path.name}:{line}: `{command}` printed\n{got}\nexpected\n{expected}")

    def reportinfo(self) -> tuple[pathlib.Path, int, str]:
        return self.path, self.blocks[0].first_line - 1, f"{self.path.name}: console blocks"


def _commands(block: Block) -> Iterator[tuple[int, str, str]]:
    """(line, command, expected output) for each ``$ command`` of a block."""
    current: tuple[int, str] | None = None
    expected: list[str] = []
    for offset, text in enumerate(block.lines):
        if text.startswith("$ "):
            if current is not None:
                yield current[0], current[1], "".join(e + "\n" for e in expected)
            current, expected = (block.first_line + offset, text[2:]), []
        elif current is not None:
            expected.append(text)
        elif text.strip():
            raise PageFailure(f"line {block.first_line + offset}: a console block starts with '$ command'")
    if current is not None:
        yield current[0], current[1], "".join(e + "\n" for e in expected)


class PageFailure(Exception):
    pass


def _repr_failure(self: pytest.Item, excinfo: pytest.ExceptionInfo[BaseException], style: object = None) -> str:
    if isinstance(excinfo.value, PageFailure):
        return str(excinfo.value)
    return str(excinfo.getrepr())


for _item in (DoctestBlocks, PythonBlocks, ConsoleBlocks):
    _item.repr_failure = _repr_failure  # type: ignore[method-assign,assignment]
