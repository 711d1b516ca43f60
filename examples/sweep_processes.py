"""A what-if sweep on a process pool: the warm book travels to each worker once.

Each worker gets the book pickled, with its cache (values, validation states
and dependency edges), through the pool's initializer, so no worker
recomputes what the parent already knew: a scenario only recomputes what its
shifts invalidate, exactly as in the parent. The results are checked against
the serial run; the exit status is 1 on a mismatch. (Threads of one process
sharing the book would run their scenarios one at a time: a scenario belongs
to the thread that entered it, and the others wait for its exit.)

    python examples/sweep_processes.py
"""

from __future__ import annotations

import multiprocessing
import sys
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path
from typing import Any

# Workers started with "spawn" inherit this path, so they import the same module.
sys.path.insert(0, str(Path(__file__).resolve().parent))
import sweep_model  # noqa: E402

_BOOK: list[sweep_model.Bond] = []


def _receive(book: list[sweep_model.Bond]) -> None:
    _BOOK[:] = book
    sweep_model.RUNS.clear()


def _task(shifts: tuple[int, int]) -> dict[str, Any]:
    return sweep_model.run_scenario(_BOOK, shifts)


def main() -> int:
    book = sweep_model.make_book()
    expected = sweep_model.serial_sweep(book)
    # "spawn": the book really is pickled (a forked worker would inherit it).
    context = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(max_workers=2, mp_context=context, initializer=_receive, initargs=(book,)) as pool:
        got = list(pool.map(_task, sweep_model.SCENARIOS, timeout=300))
    return sweep_model.compare("process pool", expected, got)


if __name__ == "__main__":
    sys.exit(main())
