"""dump_cache / load_cache of 50 serialisable methods, beside plain-Python anchors.

Run against a build, e.g.

    PYTHONPATH=build/dev python3 bench/bench_dump_load.py [--quick] [--rounds N]

The class measured has 50 methods ``def s<i>(self): return <value i>``, each
decorated with ``quendled(serialisable=True)``.  Two jobs are timed, each
beside the plain-Python job it is compared with:

- ``a.dump_cache()`` with all 50 values cached, beside building the same
  dict from 50 computed ``functools.cached_property`` attributes
  (``{name: getattr(o, name) for name in names}``);
- ``b.load_cache(data)`` into a fresh instance, beside ``fresh.__dict__
  .update(data)`` of the same 50 values into a fresh plain object.  A load
  runs each method's body once by design (the call registers the key as a
  call does), so the 50 body runs are part of the figure.

Each figure is the median over interleaved rounds: every round runs every
contender once, in an order rotated from round to round, so drift hits all
contenders alike.  Before anything is timed, the results are checked (the
dump holds the identical cached objects and runs no body, the load puts the
given objects in place, runs every body once and serves later calls from
what it loaded), so a wrong result cannot look fast.

Targets are printed beside the ratios with PASS/MISS; the exit status is 0
regardless.
"""

from __future__ import annotations

import argparse
import functools
import sys
import time

from harness import Row, check, header, interleaved, print_table
from quendle import QuendleBase, quendled

COUNT = 50
NAMES = [f"s{i}" for i in range(COUNT)]
VALUES = [("value", i) for i in range(COUNT)]


def class_source(decorator: str) -> str:
    """A class body of COUNT methods ``s<i>``, each returning ``_values[i]``."""
    lines = ["class C(_base):"]
    for i, name in enumerate(NAMES):
        lines += [f"    @{decorator}", f"    def {name}(self):", f"        return _values[{i}]"]
    return "\n".join(lines) + "\n"


def make_class(decorator: str, base: type, env: dict) -> type:
    ns = dict(env, _base=base, _values=VALUES)
    exec(class_source(decorator), ns)
    return ns["C"]


def timed(src: str, env: dict):
    """``run(items)``: the nanoseconds ``src`` (a statement on ``o``) takes
    over every ``o`` in ``items``."""
    code = "def run(items):\n    t0 = _ns()\n    for o in items:\n" f"        {src}\n" "    return _ns() - t0\n"
    ns = dict(env, _ns=time.perf_counter_ns)
    exec(code, ns)
    return ns["run"]


class BodyRuns:
    """Counts the runs of the given functions' bodies while in use."""

    def __init__(self, codes):
        self.codes = set(codes)
        self.n = 0

    def _profile(self, frame, event, arg):
        if event == "call" and frame.f_code in self.codes:
            self.n += 1

    def __enter__(self):
        self.n = 0
        sys.setprofile(self._profile)
        return self

    def __exit__(self, *exc):
        sys.setprofile(None)


class Plain:
    pass


def checks(S, CP) -> None:
    codes = [S.__dict__[name].__wrapped__.__code__ for name in NAMES]
    src = S()
    with BodyRuns(codes) as runs:
        for name in NAMES:
            getattr(src, name)()
    check(runs.n == COUNT, "every body ran once on first call")
    with BodyRuns(codes) as runs:
        data = src.dump_cache()
    check(runs.n == 0, "dump: served from the cache, no body run")
    check(sorted(data) == sorted(NAMES), "dump: one item per method")
    check(all(data[name] is VALUES[i] for i, name in enumerate(NAMES)), "dump: the identical cached objects")

    loaded = {name: object() for name in NAMES}
    fresh = S()
    with BodyRuns(codes) as runs:
        check(fresh.load_cache(loaded) is None, "load returns None")
    check(runs.n == COUNT, "load: every body ran once")
    check(all(fresh.get_cached_value(name) is loaded[name] for name in NAMES), "load: the given objects in place")
    with BodyRuns(codes) as runs:
        check(all(getattr(fresh, name)() is loaded[name] for name in NAMES), "load: calls served from the load")
        again = fresh.dump_cache()
    check(runs.n == 0, "after a load: no body runs")
    check(all(again[name] is loaded[name] for name in NAMES), "dump after load: the loaded objects")

    cp = CP()
    anchor = {name: getattr(cp, name) for name in NAMES}
    check(anchor == data and all(anchor[n] is data[n] for n in NAMES), "cached_property: the same dict")
    plain = Plain()
    plain.__dict__.update(data)
    check(all(getattr(plain, n) is data[n] for n in NAMES), "__dict__.update: the same values")


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--quick", action="store_true", help="fewer repetitions and 5 rounds: a fast smoke run")
    p.add_argument("--rounds", type=int, default=None, help="interleaved rounds per benchmark (default 21)")
    ns = p.parse_args(argv)
    rounds = ns.rounds or (5 if ns.quick else 21)
    reps = 20 if ns.quick else 200

    S = make_class("quendled(serialisable=True)", QuendleBase, {"quendled": quendled})
    CP = make_class("cached_property", object, {"cached_property": functools.cached_property})

    header(rounds, ns.quick)
    print(f"{COUNT} methods, rounds of {reps} operations, medians per operation")
    checks(S, CP)
    print("checks passed")
    print()

    src = S()
    for name in NAMES:
        getattr(src, name)()
    data = src.dump_cache()
    cp = CP()
    for name in NAMES:
        getattr(cp, name)
    names = list(NAMES)

    dump_run = timed("o.dump_cache()", {})
    cp_run = timed("{name: getattr(o, name) for name in _names}", {"_names": names})
    load_run = timed("o.load_cache(_data)", {"_data": data})
    update_run = timed("o.__dict__.update(_data)", {"_data": data})

    med = interleaved(
        {
            "dump": lambda: dump_run([src] * reps),
            "cached_property dict": lambda: cp_run([cp] * reps),
        },
        rounds,
    )
    dump_us, cp_us = med["dump"] / reps / 1e3, med["cached_property dict"] / reps / 1e3

    loads = []

    def load_once():
        objs = [S() for _ in range(reps)]
        t = load_run(objs)
        loads.append(objs[-1])
        return t

    def update_once():
        objs = [Plain() for _ in range(reps)]
        return update_run(objs)

    med = interleaved({"load": load_once, "__dict__.update": update_once}, rounds)
    load_us, update_us = med["load"] / reps / 1e3, med["__dict__.update"] / reps / 1e3
    check(all(loads[-1].get_cached_value(n) is data[n] for n in NAMES), "timed load: the values in place")

    dump, load = f"dump_cache, {COUNT} serialisable methods (all cached)", f"load_cache into a fresh instance, {COUNT} methods"
    print_table([
        Row(dump, "quendle", dump_us, "us/op"),
        Row(dump, "  {name: getattr(o, name)} over cached_property", cp_us, "us/op",
            ratio=dump_us / cp_us, target="<= 4x", ok=dump_us / cp_us <= 4.0),
        Row(load, "quendle", load_us, "us/op", note="runs each body once by design"),
        Row(load, "  fresh.__dict__.update(data)", update_us, "us/op",
            ratio=load_us / update_us, target="<= 25x", ok=load_us / update_us <= 25.0),
    ])
    return 0


if __name__ == "__main__":
    sys.exit(main())
