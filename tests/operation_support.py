"""What the public operations of tests/operations.py work on: the model classes,
the values and helpers of their cases."""

import ast
import functools
import inspect
import weakref

from models import Collide, EqError, Finaliser, HashError, HashRaises, Unhashable, raising_eq  # noqa: F401 (the cases use them)
from quendle import QuendleBase, automagically_quendled, custom_scenario, quendled

# --------------------------------------------------------------------------
# helpers for the cases

def expect(exc_type, text, func, *args, **kwargs):
    """Call func and require exc_type whose message contains text (None: any message)."""
    try:
        func(*args, **kwargs)
    except exc_type as e:
        if text is not None and text not in str(e):
            raise AssertionError(f"{exc_type.__name__} {str(e)!r} does not mention {text!r}") from None
    else:
        raise AssertionError(f"{func!r} did not raise {exc_type.__name__}")


def expect_panic(func, *args, **kwargs):
    """Call func and require the internal-failure exception."""
    try:
        func(*args, **kwargs)
    except BaseException as e:  # the internal-failure type derives from BaseException
        if type(e).__name__ != "PanicException":
            raise
    else:
        raise AssertionError(f"{func!r} did not fail internally")


class BodyError(Exception):
    pass


class patched:
    """Context: replace a module attribute, restoring it afterwards."""

    def __init__(self, owner, name, value):
        self.owner, self.name, self.value = owner, name, value

    def __enter__(self):
        self.saved = getattr(self.owner, self.name)
        setattr(self.owner, self.name, self.value)

    def __exit__(self, *exc):
        setattr(self.owner, self.name, self.saved)
        del self.saved
        return False


class BadNote(Exception):
    """An exception that refuses notes (the note is then dropped)."""

    def add_note(self, note):
        raise RuntimeError("no notes")


def _numpy_like_bool(name, **attrs):
    # Looks like numpy's boolean scalar to the bool conversion, without numpy.
    return type(name, (), {"__module__": "numpy", **attrs})


NpTrue = _numpy_like_bool("bool_", __bool__=lambda self: True)
NpNotBool = _numpy_like_bool("bool", __bool__=lambda self: 1)


def _bool_raises(self):
    raise BadNote("no truth")


NpRaises = _numpy_like_bool("bool_", __bool__=_bool_raises)
NpNoBool = _numpy_like_bool("bool_")


def finalised_value(owner):
    """A cached value whose finaliser queries the instance that held it."""
    return Finaliser(owner, lambda o: o.validation_state, catch=RuntimeError)


# --------------------------------------------------------------------------
# the classes the cases work on (made once: classes are not what is measured)

def _via_inspect(self, x):
    return [x]


@functools.wraps(_via_inspect)
def _wrapped(*args, **kwargs):
    return _via_inspect(*args, **kwargs)


class NamedCallable:
    """A callable object: bound through inspect, not natively."""

    __name__ = "named_callable"

    def __call__(_, self, x=1):
        return [x]


def keeps_instance(this, x=0):
    # The first parameter is not called self, so the instance is part of the key.
    return [x]


class Shapes(QuendleBase):
    def __init__(self, *args, **kwargs):
        self.runs = 0

    @quendled()
    def total(self):
        return [1, 2, 3]

    @quendled()
    def scaled(self, factor, offset=0):
        return [factor, offset]

    @quendled()
    def keyed(self, x):
        return [x]

    @quendled()
    def kwonly(self, a, *, b=2):
        return [a, b]

    @quendled()
    def posonly(self, a, /, b=1):
        return [a, b]

    @quendled()
    def star(self, *args):
        return list(args)

    @quendled()
    def starstar(self, **kw):
        return [kw]

    @quendled(dependencies=["total", ("scaled", {"factor": 2, "offset": 0})])
    def report(self):
        return [self.total(), self.scaled(2)]

    @quendled(track_runtime_dependencies=True)
    def tracked(self):
        return [self.total(), self.keyed(1)]

    @quendled(track_runtime_dependencies=True)
    def tracked_outer(self):
        return [self.tracked(), self.uncached()]

    @quendled(use_cache=False)
    def uncached(self):
        return [object()]

    @quendled()
    def fails(self, x=0):
        raise BodyError(f"body {x}")

    @quendled()
    def fact(self, n):
        return 1 if n <= 1 else n * self.fact(n - 1)

    @quendled()
    def forever(self):
        return self.forever()

    @quendled()
    def finalised(self):
        return finalised_value(self)

    @quendled()
    def reads_reports(self):
        return [self.cached_values, self.dependency_graph, self.validation_state]

    @automagically_quendled()
    def discovered(self):
        return [self.total(), self.tracked()]

    via_inspect = quendled()(_wrapped)
    named_callable = quendled()(NamedCallable())
    keeps_instance = quendled()(keeps_instance)


class Other(QuendleBase):
    pass


def _later_changed(self):
    return ["later"]


class Saver(QuendleBase):
    @quendled(serialisable=True)
    def a(self):
        return ["a"]

    @quendled(serialisable=True)
    def b(self):
        return ["b", self.a()]

    @automagically_quendled(serialisable=True)
    def c(self):
        return [self.a()]

    @quendled()
    def plain(self):
        return ["plain"]

    def undecorated(self):
        return ["undecorated"]

    @quendled(serialisable=True)
    def __hidden__(self):
        return ["hidden"]


class ChangedSaver(Saver):
    changed = quendled(serialisable=True)(_later_changed)


# After decoration the function's signature changes, so loading it fails the
# serialisable check.
_later_changed.__signature__ = inspect.signature(lambda self, x: None)


class BadSaver(QuendleBase):
    @quendled(serialisable=True)
    def broken(self):
        raise BodyError("cannot compute")


# A function made from a string that no file or cache holds: inspect finds
# no source for it.
_exec_namespace = {}
exec(compile("def no_source(self):\n    return self.total()\n", "<quendle leak hunt>", "exec"), _exec_namespace)
NO_SOURCE = _exec_namespace["no_source"]


def with_source(self):
    return self.total() + self.keyed(1) + self.total()


async def async_with_source(self):
    return await self.total()


class Unprintable(Exception):
    def __str__(self):
        raise RuntimeError("no text")


def _parse_fails(*args, **kwargs):
    raise Unprintable()


def _self_call(value, attr):
    """A parsed module holding `def f(self): <value>.<attr>()` built by hand."""
    call = ast.Call(func=ast.Attribute(value=value, attr=attr, ctx=ast.Load()), args=[], keywords=[])
    fn = ast.FunctionDef(name="f", args=ast.arguments(posonlyargs=[], args=[], kwonlyargs=[],
                                                        kw_defaults=[], defaults=[]),
                         body=[ast.Expr(value=call)], decorator_list=[])
    return ast.Module(body=[fn], type_ignores=[])


class SequenceRaises:
    """A sequence whose iteration fails half-way."""

    def __len__(self):
        return 2

    def __getitem__(self, i):
        if i == 0:
            return "a"
        raise BodyError("iteration fails")


def populated():
    m = Shapes()
    m.total()
    m.scaled(2)
    m.keyed(1)
    m.report()
    m.tracked()
    m.uncached()
    return m


# ------------------------------------------------------------------ the model

LIVE_BOXES = weakref.WeakSet()


class Box:
    """A value whose survival can be watched."""

    __slots__ = ("n", "__weakref__")

    def __init__(self, n):
        self.n = n
        LIVE_BOXES.add(self)

    def __eq__(self, other):
        return isinstance(other, Box) and other.n == self.n

    def __hash__(self):
        return hash(("Box", self.n))

    def __repr__(self):
        return f"Box({self.n})"


def _wrapping(func):
    @functools.wraps(func)
    def wrapper(*args, **kwargs):
        return func(*args, **kwargs)

    return wrapper


BASE, RATE = 10, 3
WIDE = 40  # enough runtime dependencies to turn a key set into a hash table
FAN = 20  # enough dependants of one key for the same


class Model(QuendleBase):
    @quendled()
    def base(self):
        return BASE

    @quendled()
    def rate(self):
        return RATE

    @quendled()
    def square(self, n):
        return n * n

    @quendled(dependencies=["base", "rate"])
    def total(self):
        return self.base() * self.rate()

    @quendled(dependencies=[("square", {"n": 2})])
    def shifted(self):
        return self.square(2) + 1

    @quendled(track_runtime_dependencies=True)
    def chain(self, n):
        return self.total() + self.square(n)

    @quendled(track_runtime_dependencies=True)
    def deep(self):
        return self.chain(1) + self.chain(2)

    @quendled(track_runtime_dependencies=True)
    def wide(self):
        return sum(self.square(i) for i in range(WIDE))

    @quendled(track_runtime_dependencies=True)
    def fan(self, i):
        return self.total() + i

    @quendled()
    def boxed(self, n):
        return Box(n)

    @quendled()
    def unbox(self, box):
        return box.n * 2

    @quendled()
    @_wrapping
    def keywords(self, a, b=2):  # bound through inspect (it carries __wrapped__)
        return a + b

    @quendled(use_cache=False)
    def uncached(self, n):
        return n + 100

    @quendled(serialisable=True)
    def saved_a(self):
        return 7

    @quendled(serialisable=True)
    def saved_b(self):
        return 8

    @automagically_quendled()
    def auto(self):
        return self.total() + self.rate()


SAVED = {"saved_a": 7, "saved_b": 8}


# Functions decorated by the decoration operations; module level, so that
# their source can be read.
def extra_plain(self):
    return self.base() + 1


def extra_serialisable(self):
    return 5


def extra_automatic(self):
    return self.total() + self.square() + len([self.base() for _ in range(2)])


def snapshot(m):
    return m.cached_values, m.validation_state, m.dependency_graph


def leave_layers(*instances):
    """Removes the layers that failed scenarios left behind, one item at a time."""
    for inst in instances:
        for _ in range(8):
            try:
                custom_scenario([inst]).__exit__(None, None, None)
            except RuntimeError:
                break


def inside_call(thread, call):
    """Whether `thread` is inside the decorated call made by the function `call`: its innermost frame is
    `call`'s, at its last call instruction (no Python code of the call runs: the thread waits)."""
    import dis
    import sys

    code = call.__code__
    at = [ins.offset for ins in dis.get_instructions(code) if ins.opname.startswith("CALL")][-1]
    frame = sys._current_frames().get(thread.ident)
    return frame is not None and frame.f_code is code and frame.f_lasti == at


def once_inside(threads, call, timeout=30):
    """Waits until each of `threads` is inside the call `call` makes, or has ended."""
    import time

    deadline = time.monotonic() + timeout
    while not all(inside_call(t, call) or not t.is_alive() for t in threads):
        assert time.monotonic() < deadline, "the threads never reached the call"
        time.sleep(0.001)
