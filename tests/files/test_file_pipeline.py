"""The two-thread pipeline under encrypt_file / decrypt_file: order, errors, prompt return."""

from __future__ import annotations

import io
import os
import threading
import time

import pytest

import velora
from velora.files.pipeline import run_ordered


@pytest.mark.parametrize("parallel", [False, True])
def test_items_are_processed_in_order_by_both_threads(parallel):
    seen: list[int] = []
    threads: set[str] = set()
    fetched: list[int] = []

    def fetch(i: int) -> int | None:
        fetched.append(i)
        time.sleep(0.001)
        return i * 10 if i < 40 else None

    def process(i: int, item: int) -> None:
        assert item == i * 10
        seen.append(i)
        threads.add(threading.current_thread().name)

    run_ordered(fetch, process, parallel_fetch=parallel)
    assert seen == list(range(40)) and len(threads) == 2
    if not parallel:
        assert fetched[:41] == list(range(41)) and len(fetched) == 41  # in order, once each, no read past the end


def test_the_first_error_in_index_order_wins_and_nothing_after_it_runs():
    seen: list[int] = []

    def fetch(i: int) -> int | None:
        if i == 5:
            raise OSError("read error at 5")
        return i

    def process(i: int, item: int) -> None:
        if i == 3:
            raise ValueError("bad item 3")
        seen.append(i)

    with pytest.raises(ValueError, match="bad item 3"):
        run_ordered(fetch, process)
    assert seen == [0, 1, 2]

    seen.clear()
    with pytest.raises(OSError, match="read error at 5"):
        run_ordered(fetch, lambda i, item: seen.append(i))
    assert seen == [0, 1, 2, 3, 4]


def test_a_parallel_fetch_past_the_end_ends_nothing_below_it(monkeypatch):
    """The second worker starts late: the first one processes item 0 and fetches item 2,
    past the end, before item 1 is fetched at all. Item 1 must still be fetched and
    processed (a regular file read by both threads, its end found by the first)."""
    import velora.files.pipeline as pipeline

    class LateSecondWorker(threading.Thread):
        def run(self) -> None:
            if self.name.endswith("-1"):
                time.sleep(0.2)
            super().run()

    monkeypatch.setattr(pipeline.threading, "Thread", LateSecondWorker)
    seen: list[int] = []
    run_ordered(lambda i: i if i < 2 else None, lambda i, item: seen.append(item), parallel_fetch=True)
    assert seen == [0, 1]


def test_an_error_is_raised_while_the_other_thread_is_still_blocked_reading():
    blocked = threading.Event()
    release = threading.Event()

    def fetch(i: int) -> int | None:
        if i >= 2:
            blocked.set()
            release.wait(30)  # a slow input that sends nothing more
        return i

    def process(i: int, item: int) -> None:
        if i == 1:
            blocked.wait(5)
            raise ValueError("damaged")

    start = time.monotonic()
    with pytest.raises(ValueError, match="damaged"):
        run_ordered(fetch, process)
    assert time.monotonic() - start < 5
    release.set()


def test_decrypt_file_reports_damage_without_waiting_for_a_stalled_pipe():
    """A corrupt first chunk read from a pipe whose writer stalls: the error comes at once."""
    key = velora.PrivateKey.from_seed(bytes(64), 512)
    buf = io.BytesIO()
    with velora.EncryptedWriter(buf, key.public_key()) as w:
        w.write(os.urandom(3 * 1024 * 1024))
    blob = bytearray(buf.getvalue())
    blob[2000] ^= 1  # inside the first data frame
    r, w_fd = os.pipe()
    feeder_done = threading.Event()

    def feed() -> None:
        view = memoryview(bytes(blob[: 2 * 1024 * 1024]))
        try:
            while view:
                view = view[os.write(w_fd, view[:65536]) :]
        except OSError:
            pass
        feeder_done.set()  # then stall, the pipe still open

    threading.Thread(target=feed, daemon=True).start()
    outcome: list[BaseException] = []

    def decrypt() -> None:
        try:
            with open(r, "rb", buffering=0, closefd=False) as src:
                velora.decrypt_file(src, io.BytesIO(), key)
        except BaseException as exc:
            outcome.append(exc)

    t = threading.Thread(target=decrypt, daemon=True)
    t.start()
    t.join(10)
    os.close(w_fd)
    assert not t.is_alive(), "decrypt_file waited for the stalled input"
    assert outcome and isinstance(outcome[0], velora.DecryptionError)
    os.close(r)
