"""Paths, sizes and facts about the machine and the libraries, shared by every section."""

from __future__ import annotations

import importlib.metadata
import os
import platform
import shutil
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent.parent
OUT = ROOT / "bench" / "out"
BUILD = ROOT / "build" / "bench"

KiB, MiB = 1024, 1024 * 1024
LEVEL_BITS = [512, 768, 1024]
TARGET_LEVELS = [768, 1024]


def tool(name: str) -> str:
    """A build tool from PATH, or from the interpreter's own bin directory (the venv)."""
    found = shutil.which(name) or shutil.which(name, path=str(Path(sys.executable).parent))
    if not found:
        raise SystemExit(f"bench: {name} not found (run through `make bench`)")
    return found


def version_of(dist: str) -> str | None:
    try:
        return importlib.metadata.version(dist)
    except importlib.metadata.PackageNotFoundError:
        return None


def machine_info() -> dict:
    cpu = platform.processor() or "unknown CPU"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    info = {"cpu": cpu, "cores": os.cpu_count(), "python": platform.python_version(), "platform": platform.platform()}
    try:
        info["system_openssl"] = subprocess.run(["openssl", "version"], capture_output=True, text=True).stdout.strip()
    except OSError:
        info["system_openssl"] = "unknown"
    return info


def module_links_ipsec_mb(module_file: str) -> bool | None:
    try:
        out = subprocess.run(["ldd", module_file], capture_output=True, text=True).stdout
    except OSError:
        return None
    return "libIPSec_MB" in out


def size_label(n: int) -> str:
    return f"{n // MiB} MiB" if n >= MiB else f"{n // KiB} KiB"
