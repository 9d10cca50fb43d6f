"""Output files that appear at their destination only when complete.

A new file is written beside the destination (an unnamed O_TMPFILE file on
Linux, so that a killed process leaves nothing behind; a hidden temporary
name elsewhere), synced, and renamed over the destination on `commit`. On
`discard`, or if the process dies first, the destination is untouched: it
either does not exist or keeps its old content.

A named temporary file, ``.<destination name>.<12 hex digits>.tmp``, is
readable by its owner alone (0600) until `commit` gives it its final mode:
a killed decryption leaves plaintext to no one else. The writer holds an
exclusive `flock` on it while it works, so that the next output to the same
destination can tell such a leftover (no lock) from another process's work
under way (locked) and removes the leftovers.
"""

from __future__ import annotations

import errno
import fcntl
import io
import os
import re
import stat
from typing import BinaryIO

PathLike = str | os.PathLike[str]

_TEMP_SUFFIX = re.compile(r"\.[0-9a-f]{12}\.tmp")


def write_all(fd: int, data: bytes | memoryview) -> None:
    """os.write until every byte is written (pipes may take fewer)."""
    view = memoryview(data)
    while view:
        n = os.write(fd, view)
        view = view[n:]


class AtomicOutput:
    """A file at ``path`` that exists only after `commit`."""

    def __init__(self, path: PathLike) -> None:
        # Follow a symbolic link to the file it names, as open() would.
        self.path = os.path.realpath(os.fspath(path))
        self._dir = os.path.dirname(self.path) or "."
        # A new file gets 0o666 less the umask; a replaced one keeps its mode.
        mode: int | None = None
        try:
            st = os.stat(self.path)
        except FileNotFoundError:
            pass
        else:
            if stat.S_ISDIR(st.st_mode):
                raise IsADirectoryError(errno.EISDIR, "Is a directory", os.fspath(path))
            mode = stat.S_IMODE(st.st_mode)
        self._temp: str | None = None
        self._mode = 0o666 & ~_umask() if mode is None else mode
        remove_leftovers(self.path)
        self.fd = self._open_unnamed(mode)
        if self.fd < 0:
            self.fd = self._open_named(mode)
        self._done = False

    def _open_unnamed(self, mode: int | None) -> int:
        flag = getattr(os, "O_TMPFILE", 0)
        if not flag:
            return -1
        try:
            fd = os.open(self._dir, flag | os.O_WRONLY | os.O_CLOEXEC, 0o666)
        except OSError as exc:
            # Not supported by this file system or kernel: use a name.
            if exc.errno in (errno.EOPNOTSUPP, errno.EISDIR, errno.EINVAL, errno.ENOENT) and os.path.isdir(self._dir):
                return -1
            raise
        fcntl.flock(fd, fcntl.LOCK_EX)  # held while working: its link at commit is no leftover
        if mode is not None:
            os.fchmod(fd, mode)
        return fd

    def _open_named(self, mode: int | None) -> int:
        for _ in range(100):
            name = _temp_name(self._dir, os.path.basename(self.path))
            try:
                fd = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
            except FileExistsError:
                continue
            fcntl.flock(fd, fcntl.LOCK_EX)  # held while working: not a leftover
            self._temp = name
            os.fchmod(fd, 0o600)  # owner only until commit, whatever the umask
            return fd
        raise FileExistsError(errno.EEXIST, "no free temporary name", self._dir)

    def write(self, data: bytes | memoryview) -> None:
        write_all(self.fd, data)

    def commit(self) -> None:
        """Syncs the file and moves it to the destination (the old content, if any, is replaced)."""
        if self._done:
            raise ValueError("output already committed or discarded")
        self._done = True
        try:
            os.fchmod(self.fd, self._mode)
            os.fsync(self.fd)
            if self._temp is None:
                # Give the unnamed file a temporary name beside the destination,
                # then rename it over the destination in one step.
                self._temp = _link_unnamed(self.fd, self._dir, os.path.basename(self.path))
            os.replace(self._temp, self.path)
            self._temp = None
            _fsync_dir(self._dir)
        except BaseException:
            self._cleanup()
            raise
        os.close(self.fd)

    def discard(self) -> None:
        """Drops what was written; the destination is untouched."""
        if self._done:
            return
        self._done = True
        self._cleanup()

    def _cleanup(self) -> None:
        try:
            os.close(self.fd)
        except OSError:
            pass
        if self._temp is not None:
            try:
                os.unlink(self._temp)
            except OSError:
                pass
            self._temp = None


def _link_unnamed(fd: int, directory: str, base: str) -> str:
    """Links the O_TMPFILE file ``fd`` under a fresh temporary name in ``directory``."""
    # linkat(AT_SYMLINK_FOLLOW) on /proc/self/fd/N: os.link takes that path
    # only with a directory descriptor (without one it calls link(), which
    # does not follow the symbolic link).
    proc = os.open("/proc/self/fd", os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        for _ in range(100):
            name = _temp_name(directory, base)
            try:
                os.link(str(fd), name, src_dir_fd=proc, follow_symlinks=True)
            except FileExistsError:
                continue
            return name
    finally:
        os.close(proc)
    raise FileExistsError(errno.EEXIST, "no free temporary name", directory)


def _temp_name(directory: str, base: str) -> str:
    return os.path.join(directory, f".{base}.{os.urandom(6).hex()}.tmp")


def remove_leftovers(path: str) -> list[str]:
    """Removes the temporary files of earlier outputs to ``path`` that were killed before
    `commit` (our name pattern, and no process holds their lock); returns their names."""
    directory = os.path.dirname(path) or "."
    prefix = "." + os.path.basename(path)
    removed: list[str] = []
    try:
        names = os.listdir(directory)
    except OSError:
        return removed
    for name in names:
        if not name.startswith(prefix) or not _TEMP_SUFFIX.fullmatch(name, len(prefix)):
            continue
        full = os.path.join(directory, name)
        try:
            fd = os.open(full, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC | os.O_NONBLOCK)
        except OSError:
            continue
        try:
            if not stat.S_ISREG(os.fstat(fd).st_mode):
                continue
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                continue  # another output to this destination is under way
            os.unlink(full)
            removed.append(name)
        except OSError:
            pass
        finally:
            os.close(fd)
    return removed


def _umask() -> int:
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def _fsync_dir(directory: str) -> None:
    try:
        fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


def is_atomic_destination(path: PathLike) -> bool:
    """Whether ``path`` gets the temporary-file treatment: a regular file or nothing yet.

    Devices, pipes and the like (/dev/null, /dev/stdout, a FIFO) are written
    directly: they cannot be replaced by a rename.
    """
    try:
        st = os.stat(path)
    except FileNotFoundError:
        return True
    return stat.S_ISREG(st.st_mode) or stat.S_ISDIR(st.st_mode)


class DirectOutput:
    """A device or pipe named by path, written in place (no commit step)."""

    def __init__(self, path: PathLike) -> None:
        self.fd = os.open(path, os.O_WRONLY | os.O_CLOEXEC)

    def write(self, data: bytes | memoryview) -> None:
        write_all(self.fd, data)

    def commit(self) -> None:
        os.close(self.fd)

    def discard(self) -> None:
        os.close(self.fd)


class FileObjectOutput:
    """A binary file object given by the caller: written, flushed, never closed here."""

    def __init__(self, file: BinaryIO) -> None:
        self._file = file
        # A raw file may write fewer bytes than given; a buffered one writes all.
        self._raw = isinstance(file, io.RawIOBase)

    def write(self, data: bytes | memoryview) -> None:
        if self._raw:
            view = memoryview(data)
            while view:
                n = self._file.write(view)
                if n is None:
                    raise BlockingIOError("the output is in non-blocking mode and is full")
                view = view[n:]
        else:
            self._file.write(data)

    def commit(self) -> None:
        self._file.flush()

    def discard(self) -> None:
        try:
            self._file.flush()
        except (OSError, ValueError):
            pass


Output = AtomicOutput | DirectOutput | FileObjectOutput


def open_output(dst: PathLike | BinaryIO) -> Output:
    """The output for ``dst``: a path (atomic when it can be) or a binary file object."""
    if isinstance(dst, (str, os.PathLike)):
        return AtomicOutput(dst) if is_atomic_destination(dst) else DirectOutput(dst)
    if not hasattr(dst, "write"):
        raise TypeError(f"the destination must be a path or a binary file object, not {type(dst).__name__}")
    return FileObjectOutput(dst)

