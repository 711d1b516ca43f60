"""Reference-leak cases of asynchronous methods, measured by the harness of
test_refleaks.py (which also checks the build)."""

import gc

import pytest

from quendle import QuendleBase, quendled
from operation_support import expect
from operations import _drive
from test_refleaks import _counts_add_up, hunt, pytestmark  # noqa: F401 (the module's guards apply here too)


# ---- asynchronous methods ---------------------------------------------------

class _Yield:
    def __await__(self):
        yield


class _Async(QuendleBase):
    @quendled(track_runtime_dependencies=True)
    async def fetch(self, n):
        await _Yield()
        if n < 0:
            raise ValueError(n)
        return (n,)


def async_miss_hit_and_failure():
    a = _Async()
    _drive(a.fetch(1))
    _drive(a.fetch(1))
    expect(ValueError, None, _drive, a.fetch(-1))
    a.fetch(2).close()
    expect(TypeError, None, a.fetch(3).throw, TypeError("thrown"))


def async_shared_cancelled_and_collected():
    import asyncio

    async def main():
        a = _Async()
        await asyncio.gather(a.fetch(1), a.fetch(1))
        cancelled = asyncio.ensure_future(a.fetch(2))
        await asyncio.sleep(0)
        cancelled.cancel()
        await asyncio.gather(cancelled, return_exceptions=True)
        a.pending = a.fetch(3)  # a cycle through an awaitable
        a.pending.send(None)

    asyncio.run(main())
    gc.collect()


CASES = {"miss_hit_and_failure": async_miss_hit_and_failure,
         "shared_cancelled_and_collected": async_shared_cancelled_and_collected}


@pytest.mark.parametrize("name", sorted(CASES))
def test_no_leak(name):
    hunt(CASES[name], name)
