"""Summarises a valgrind memcheck XML report for one shared object.

    python tests/leaks/valgrind_report.py REPORT.xml OBJECT_PATTERN

Fails (exit 1) when a definite leak or a memcheck error (invalid access, use
of uninitialised memory, bad free) has a frame in an object whose path
contains OBJECT_PATTERN. Reports whose stacks never enter that object are the
interpreter's own and are only counted.
"""

from __future__ import annotations

import sys
import xml.etree.ElementTree as ET


def main() -> int:
    path, pattern = sys.argv[1], sys.argv[2]
    root = ET.parse(path).getroot()
    ours, theirs = [], []
    leaked = {"ours": 0, "theirs": 0}
    for err in root.findall("error"):
        kind = err.findtext("kind") or "?"
        if kind.startswith("Leak_") and kind != "Leak_DefinitelyLost":
            continue
        frames = err.find("stack").findall("frame") if err.find("stack") is not None else []
        objs = [f.findtext("obj") or "" for f in frames]
        mine = any(pattern in o for o in objs)
        (ours if mine else theirs).append(err)
        if kind == "Leak_DefinitelyLost":
            leaked["ours" if mine else "theirs"] += int(err.findtext("xwhat/leakedbytes") or 0)

    def describe(err) -> str:
        what = err.findtext("what") or err.findtext("xwhat/text") or ""
        frames = err.find("stack").findall("frame")
        where = "; ".join(f"{f.findtext('fn') or '?'} ({(f.findtext('obj') or '').rsplit('/', 1)[-1]})"
                          for f in frames[:8])
        return f"  {err.findtext('kind')}: {what}\n    at {where}"

    print(f"valgrind: {len(ours)} report(s) through {pattern} ({leaked['ours']} bytes definitely lost); "
          f"{len(theirs)} elsewhere ({leaked['theirs']} bytes definitely lost), not ours")
    for err in ours:
        print(describe(err))
    return 1 if ours else 0


if __name__ == "__main__":
    sys.exit(main())
