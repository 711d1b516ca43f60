"""Reference-leak cases of pickling and copying instances with their cache,
measured by the harness of test_refleaks.py (which also checks the build)."""

import copy
import pickle
import threading

import pytest

import quendle
from quendle import QuendleBase, custom_scenario, quendled
from operation_support import expect
from test_refleaks import _counts_add_up, hunt, pytestmark  # noqa: F401 (the module's guards apply here too)


class Priced(QuendleBase):
    def __init__(self):
        self.box = [1]

    @quendled()
    def rate(self):
        return 0.05

    @quendled(dependencies=["rate"])
    def discount(self, year):
        return (1 + self.rate()) ** -year

    @quendled(track_runtime_dependencies=True)
    def me(self):
        return {"owner": self, "box": self.box, "d": self.discount(2)}

    @quendled()
    def lock(self):
        return threading.Lock()


class Quiet(Priced):
    __quendle_pickle_cache__ = False


def warm(cls=Priced):
    p = cls()
    p.me()
    return p


def state_of(p):
    user, (version, records) = p.__reduce_ex__(2)[2]
    return user, version, tuple(r.__reduce_ex__(2)[1][0] for r in records)


CASES = {
    "pickle_protocol_0": lambda: pickle.loads(pickle.dumps(warm(), 0)).me(),
    "pickle_protocol_5": lambda: pickle.loads(pickle.dumps(warm(), 5)).me(),
    "copy": lambda: copy.copy(warm()).me(),
    "deepcopy": lambda: copy.deepcopy(warm()).me(),
    "opted_out": lambda: pickle.loads(pickle.dumps(warm(Quiet))).me(),
}


def _inside_scenario():
    p = warm()
    with custom_scenario([p]):
        p.update_cached_value("rate", 0.5)
        pickle.loads(pickle.dumps(p)).me()


def _unpicklable_value():
    p = Priced()
    p.lock()
    expect(TypeError, "cannot pickle", pickle.dumps, p)
    expect(TypeError, "cannot pickle", copy.deepcopy, p)


def _malformed():
    user, version, records = state_of(warm())
    target = Priced.__new__(Priced)
    expect(ValueError, "unsupported cache format version 7", quendle._restore_instance, target, (user, (7, records)))
    expect(ValueError, "has the same key", quendle._restore_instance, target, (user, (version, records + records[:1])))
    gone = ((("nope", ()), 0, False, ()),)  # a method the class does not have: dropped
    quendle._restore_instance(Priced.__new__(Priced), (user, (version, gone)))
    expect(TypeError, "must be an instance token or None", quendle._restore_instance, target,
           (user, (version, records, (object(), ()))))
    used = warm()
    expect(ValueError, "only while it is empty", quendle._restore_instance, used, (user, (version, records)))


class Level(QuendleBase, cross_instance=True):
    @quendled()
    def rate(self):
        return [0.05]


class Holder(QuendleBase, cross_instance=True):
    def __init__(self, level):
        self.level = level

    @quendled(track_runtime_dependencies=True)
    def value(self):
        return [self.level.rate()[0] * 2]


def _cross_instance():
    holder = Holder(Level())
    holder.value()
    for copied in (pickle.loads(pickle.dumps(holder)), copy.deepcopy(holder), copy.copy(holder)):
        copied.level.update_cached_value("rate", [0.5])
        copied.value()
    later, level = pickle.loads(pickle.dumps([holder, holder.level]))  # the holder first: linked on the level's load
    level.update_cached_value("rate", [0.7])
    quendle.cross_instance_edges(later)


CASES.update(inside_scenario=_inside_scenario, unpicklable_value=_unpicklable_value, malformed=_malformed,
             cross_instance=_cross_instance)


@pytest.mark.parametrize("name", sorted(CASES))
def test_no_leak(name):
    hunt(CASES[name], name)
