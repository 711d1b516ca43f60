"""The same what-if sweep on a Dask distributed cluster of two local processes.

The warm book is scattered once to every worker (pickled with its cache) and
each scenario is a task on the book already there. A scenario belongs to the
thread that entered it, and the threads of one worker share its copy of the
book: with several threads per worker, the other threads' tasks on that book
wait until the scenario exits, so each worker runs one thread here. The cluster listens on the
loopback interface only and the whole run is bounded in time. The results are
checked against the serial run; the exit status is 1 on a mismatch.

    python examples/sweep_dask.py        # needs: pip install dask distributed
"""

from __future__ import annotations

import faulthandler
import logging
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import sweep_model  # noqa: E402

TIME_LIMIT = 300  # seconds for the whole run


def main() -> int:
    from dask.distributed import Client, LocalCluster, wait

    faulthandler.dump_traceback_later(TIME_LIMIT, exit=True)  # never hang
    book = sweep_model.make_book()
    expected = sweep_model.serial_sweep(book)
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None, silence_logs=logging.ERROR) as cluster, Client(cluster) as client:
        remote = client.scatter(book, broadcast=True)
        futures = client.map(sweep_model.run_scenario, [remote] * len(sweep_model.SCENARIOS),
                             sweep_model.SCENARIOS, pure=False)
        wait(futures, timeout=TIME_LIMIT / 2)
        got = client.gather(futures)
    faulthandler.cancel_dump_traceback_later()
    return sweep_model.compare("dask cluster", expected, got)


if __name__ == "__main__":
    sys.exit(main())
