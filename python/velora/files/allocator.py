"""Keeping freed buffers for reuse (glibc malloc), for programs that move whole files.

Each 1 MiB chunk is read into a fresh `bytes` object and sealed or opened
into another. glibc hands chunks of that size back to the kernel as soon as
they are freed (its trim threshold follows the largest freed mapping, and a
thread's arena shrinks eagerly), so the next chunk faults its pages in again:
at 1 GiB that is about 250,000 page faults and half of the run time
(bench/file_bench.py). Raising the trim threshold and fixing the mmap
threshold lets malloc reuse the same memory instead.

This changes process-wide malloc settings, so the library never calls it by
itself: the `velora` command line does at start, and a program that encrypts
or decrypts large files may call it once. Peak memory does not grow: only
memory the program already used is kept.
"""

from __future__ import annotations

_done = False

_M_TRIM_THRESHOLD = -1
_M_MMAP_THRESHOLD = -3


def keep_freed_buffers() -> bool:
    """Tunes glibc's malloc as above; False where there is no glibc ``mallopt``."""
    global _done
    if _done:
        return True
    try:
        import ctypes

        libc = ctypes.CDLL(None)
        mallopt = libc.mallopt
    except (OSError, AttributeError):
        return False
    mallopt.argtypes = (ctypes.c_int, ctypes.c_int)
    mallopt.restype = ctypes.c_int
    # Chunks are at most 4 MiB; keep up to 64 MiB of freed memory per arena.
    ok = bool(mallopt(_M_MMAP_THRESHOLD, 16 * 1024 * 1024) == 1 and mallopt(_M_TRIM_THRESHOLD, 64 * 1024 * 1024) == 1)
    _done = ok
    return ok
