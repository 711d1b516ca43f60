"""A call is answered the same whichever way its arguments are bound.

Every spelling of one call (positional, keyword, defaults, through the class,
a partial) finds the one key.  For generated function signatures and
generated calls, the key a decorated call is cached under must be the one
built from ``inspect.signature(func).bind(*args, **kwargs)`` with
``apply_defaults()``: the bound ``(name, value)`` pairs without ``self``,
sorted by the UTF-8 bytes of the names, under the method's ``__name__``.  A
call that does not bind must fail with the very exception ``bind`` raises
(same type, same message), and a key that cannot be hashed with the hashing
``TypeError``.  The body must receive exactly the arguments of the call, and
repeated equal calls must be served from the cache.

The functions are built with ``exec`` (so they have no source) and later
changed in the ways inspect notices: new ``__defaults__``/``__kwdefaults__``,
another ``__code__``, a ``__signature__`` or ``__wrapped__`` attribute.
"""

import functools
import inspect

import pytest
from conftest import examples
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st
from hypothesis.errors import InvalidArgument

from models import Calls, Counted, Key
from quendle import QuendleBase, quendled

# Parameter names: the receiver names, names whose byte order differs from
# naive expectations ("B" < "a" < "aB" < "a_b" < "aa" < "zz" < "é"), and the
# usual names of the variadic parameters, so they also occur as plain ones.
PARAM_NAMES = ("self", "this", "a", "b", "B", "aa", "a_b", "aB", "x", "zz", "é", "args", "kwargs")
# Keywords a call may pass that no generated function declares.
UNKNOWN_KEYWORDS = ("q", "ß", "self")
FUNC_NAMES = ("m", "calc", "métode")


class Tag:
    """A hashable value compared by identity."""

    def __repr__(self):
        return "Tag()"


# Argument and default values. 1, True and 1.0 are equal and hash alike, so
# they share keys; the list and the dict are unhashable (drawn less often, as
# one of them anywhere in a call makes the whole call fail).
HASHABLE = (0, 1, True, 1.0, -7, 2**70, "s", "", None, (1, 2), ("a", None), frozenset({3}), b"x", Tag())
UNHASHABLE = ([1], {"k": 1})


# ---------------------------------------------------------------------------
# one call, every spelling

THREE = ("three", (("a", 1), ("b", 2), ("c", 3)))


@pytest.mark.parametrize("call", [
    lambda m: m.three(1, 2),
    lambda m: m.three(1, 2, 3),  # the default passed positionally
    lambda m: m.three(1, 2, c=3),
    lambda m: m.three(a=1, b=2),
    lambda m: m.three(b=2, a=1),
    lambda m: m.three(1, b=2, c=3),
    lambda m: m.three(*(1, 2), **{"c": 3}),
    lambda m: Calls.three(m, 1, 2),
    lambda m: Calls.__dict__["three"](m, 1, c=3, b=2),
    lambda m: functools.partial(m.three, 1)(2),
    lambda m: getattr(m, "three")(1, 2),
    lambda m: m.three(1.0, 2),  # equal numbers are one key, as in a tuple
    lambda m: m.three(True, 2),
])
@pytest.mark.parametrize("first", ["canonical", "this"])
def test_every_way_of_calling_finds_the_one_key(call, first):
    m = Calls()
    if first == "canonical":
        result = m.three(1, 2)
        assert call(m) is result
    else:
        result = call(m)
        assert m.three(1, 2) is result
    assert m.calls["three"] == 1 and m.validation_state == {THREE: "valid"}
    assert m.three(1, 3) == [1, 3, 3] and m.calls["three"] == 2


@pytest.mark.parametrize("call", [
    lambda m: m.g(2),
    lambda m: getattr(m, "g")(2),
    lambda m: m.g(n=2),
    lambda m: type(m).g(m, 2),
], ids=["method call", "getattr", "keyword", "through the class"])
def test_instance_dict_entry_never_hides_the_decorated_method(call):
    m = Calls()
    first = m.g(2)
    m.__dict__["g"] = lambda n: "from the instance dict"
    assert call(m) is first and m.calls["g"] == 1
    assert m.g is not m.__dict__["g"]


def test_colliding_hashes_with_unequal_values_get_distinct_keys():
    m = Calls()
    a, b = Key(1), Key(2)
    ra, rb = m.g(a), m.g(b)
    assert ra == [a] and rb == [b] and m.calls["g"] == 2
    assert m.g(Key(1)) is ra and m.g(Key(2)) is rb and m.calls["g"] == 2
    assert list(m.cached_values) == [("g", (("n", a),)), ("g", (("n", b),))]


class Keys(Counted):
    @quendled()
    def f(self, b, a):
        return self.ran("f", [a, b])

    @quendled()
    def order(self, a_b, aB, a, B, aa):
        return 0

    @quendled()
    def h(self, x=1):
        return self.ran("h", [x])

    @quendled()
    def v(self, *args):
        return 0

    @quendled()
    def t(this, n):
        return 0


@pytest.mark.parametrize("call, label", [
    (lambda k: k.f(1, 2), lambda k: ("f", (("a", 2), ("b", 1)))),
    (lambda k: k.order(1, 2, 3, 4, 5), lambda k: ("order", (("B", 4), ("a", 3), ("aB", 2), ("a_b", 1), ("aa", 5)))),
    (lambda k: k.h(), lambda k: ("h", (("x", 1),))),
    (lambda k: k.v(1, 2), lambda k: ("v", (("args", (1, 2)),))),
    (lambda k: k.t(5), lambda k: ("t", (("n", 5), ("this", k)))),
])
def test_signature_labels(call, label):
    k = Keys()
    call(k)
    [(got, state)] = k.validation_state.items()
    assert (got, type(got), state) == (label(k), type(label(k)), "valid")


@pytest.mark.parametrize("calls", [
    [lambda k: k.h(), lambda k: k.h(1), lambda k: k.h(x=1), lambda k: k.h(1.0), lambda k: k.h(True)],
    [lambda k: k.f(1, 2), lambda k: k.f(a=2, b=1), lambda k: k.f(1, a=2)],
])
def test_equivalent_calls_share_one_entry(calls):
    k = Keys()
    results = [call(k) for call in calls]
    assert sum(k.calls.values()) == 1 and all(r is results[0] for r in results)
    assert len(k.validation_state) == 1


# ---------------------------------------------------------------------------
# function specs and their construction


class Spec:
    """The parameter layout of one function and the defaults it starts with."""

    def __init__(self, posonly, normal, varargs, kwonly, varkw, defaults, kwdefaults):
        self.posonly = list(posonly)
        self.normal = list(normal)
        self.varargs = varargs
        self.kwonly = list(kwonly)
        self.varkw = varkw
        self.defaults = tuple(defaults)  # for the last len(defaults) positional parameters
        self.kwdefaults = dict(kwdefaults)

    @property
    def positional(self):
        return self.posonly + self.normal

    @property
    def names(self):
        out = self.positional + ([self.varargs] if self.varargs else []) + self.kwonly
        return out + ([self.varkw] if self.varkw else [])

    def source(self, fname):
        """The ``def`` statement; default values are globals ``_p<i>``/``_k<i>``."""
        pos = self.positional
        first_default = len(pos) - len(self.defaults)
        parts = []
        for i, n in enumerate(pos):
            parts.append(f"{n}=_p{i - first_default}" if i >= first_default else n)
            if self.posonly and i == len(self.posonly) - 1:
                parts.append("/")
        if self.varargs:
            parts.append("*" + self.varargs)
        elif self.kwonly:
            parts.append("*")
        for i, n in enumerate(self.kwonly):
            parts.append(f"{n}=_k{i}" if n in self.kwdefaults else n)
        if self.varkw:
            parts.append("**" + self.varkw)
        record = ", ".join(f"{n!r}: {n}" for n in self.names)
        return f"def {fname}({', '.join(parts)}):\n    return _record({{{record}}})\n"

    def __repr__(self):
        return (f"Spec(posonly={self.posonly}, normal={self.normal}, varargs={self.varargs!r}, "
                f"kwonly={self.kwonly}, varkw={self.varkw!r}, defaults={self.defaults!r}, "
                f"kwdefaults={self.kwdefaults!r})")


class Recorder:
    """What bodies ran: each run appends the values it received."""

    def __init__(self):
        self.runs = []

    def __call__(self, received):
        self.runs.append(received)
        return [len(self.runs), received]  # a new object per run


def build(spec, fname, recorder):
    ns = {"_record": recorder}
    for i, v in enumerate(spec.defaults):
        ns[f"_p{i}"] = v
    for i, n in enumerate(spec.kwonly):
        if n in spec.kwdefaults:
            ns[f"_k{i}"] = spec.kwdefaults[n]
    exec(spec.source(fname), ns)
    return ns[fname]


values = st.sampled_from(HASHABLE * 3 + UNHASHABLE)


@st.composite
def specs(draw):
    receiver = draw(st.sampled_from(("self", "this", None)))
    pool = [n for n in PARAM_NAMES if n != receiver]
    names = draw(st.lists(st.sampled_from(pool), unique=True, max_size=5))
    has_varargs = draw(st.booleans()) and len(names) > 0
    has_varkw = draw(st.integers(0, 7)) == 0 and len(names) > int(has_varargs)
    varargs = names.pop() if has_varargs else None
    varkw = names.pop() if has_varkw else None
    n_posonly = draw(st.integers(0, len(names)))
    n_normal = draw(st.integers(0, len(names) - n_posonly))
    posonly = names[:n_posonly]
    normal = names[n_posonly:n_posonly + n_normal]
    kwonly = names[n_posonly + n_normal:]
    if receiver is not None:
        # The receiver comes first: positional-only, normal, or keyword-only
        # (where the instance cannot bind and every call fails).
        where = draw(st.sampled_from(("posonly", "normal", "normal", "kwonly")))
        {"posonly": posonly, "normal": normal, "kwonly": kwonly}[where].insert(0, receiver)
    positional = posonly + normal
    n_defaults = draw(st.integers(0, len(positional)))
    defaults = draw(st.lists(values, min_size=n_defaults, max_size=n_defaults))
    kwdefaults = {n: draw(values) for n in kwonly if draw(st.booleans())}
    return Spec(posonly, normal, varargs, kwonly, varkw, defaults, kwdefaults)


@st.composite
def calls(draw, keyword_pool):
    """Any call: positional values and keywords drawn from every name around."""
    args = tuple(draw(st.lists(values, max_size=5)))
    names = draw(st.lists(st.sampled_from(keyword_pool), unique=True, max_size=4))
    kwargs = {n: draw(values) for n in names}
    return ("call", args, kwargs)


@st.composite
def fitting_calls(draw, spec):
    """A call made to fit the signature as decorated (later changes may break it).

    The instance takes the first positional slot; then a prefix of the other
    positional parameters is passed positionally, the rest by keyword or left
    to their defaults, keyword-only ones likewise, in a drawn keyword order.
    """
    pos = spec.positional
    rest = pos[1:]
    first_default = len(pos) - len(spec.defaults)
    required_posonly = min(len(spec.posonly), first_default)  # these must be positional
    k = draw(st.integers(min(len(rest), max(0, required_posonly - 1)), len(rest)))
    args = [draw(values) for _ in range(k)]
    if spec.varargs and k == len(rest):
        args += draw(st.lists(values, max_size=2))
    kwargs = {}
    for i, n in enumerate(rest[k:], start=k + 1):
        if n in spec.posonly:
            continue
        if i < first_default or draw(st.booleans()):
            kwargs[n] = draw(values)
    for n in spec.kwonly:
        if n not in spec.kwdefaults or draw(st.booleans()):
            kwargs[n] = draw(values)
    if spec.varkw and draw(st.booleans()):
        kwargs[draw(st.sampled_from(UNKNOWN_KEYWORDS))] = draw(values)
    order = draw(st.permutations(list(kwargs)))
    return ("call", tuple(args), {n: kwargs[n] for n in order})


@st.composite
def scenarios(draw):
    spec = draw(specs())
    others = draw(st.lists(specs(), max_size=2))
    keyword_pool = sorted(set(spec.names).union(*(o.names for o in others), UNKNOWN_KEYWORDS))
    mutation = st.one_of(
        st.tuples(st.just("defaults"), st.one_of(st.none(), st.lists(values, max_size=4).map(tuple))),
        st.tuples(st.just("kwdefaults"),
                  st.one_of(st.none(), st.dictionaries(st.sampled_from(keyword_pool), values, max_size=3))),
    )
    if others:
        other = st.sampled_from(range(len(others)))
        mutation = st.one_of(
            mutation,
            st.tuples(st.just("code"), other),
            st.tuples(st.just("__signature__"), other),
            st.tuples(st.just("__wrapped__"), other),
            st.tuples(st.sampled_from(("__signature__=None", "drop overrides")), st.none()),
        )
    fitting = fitting_calls(spec)
    # "again" repeats an earlier call, with its keywords in reverse order.
    again = st.tuples(st.just("again"), st.integers(0, 9))
    step = st.one_of(fitting, fitting, calls(keyword_pool), again, mutation)
    ops = [draw(fitting)] + draw(st.lists(step, min_size=2, max_size=12))
    fname = draw(st.sampled_from(FUNC_NAMES))
    return spec, others, fname, ops


# ---------------------------------------------------------------------------
# the model of what a call must do


def utf8_order(pair):
    return pair[0].encode("utf-8")


def outcome(text):
    """Counts the kinds of calls met (see --hypothesis-show-statistics)."""
    try:
        event(text)
    except InvalidArgument:  # a fixed case, outside a property test
        pass


def label_of(key):
    return key[0] if key[1] == () else key


def same_values(got, expected):
    """The body received these very objects.

    The containers of ``*args`` and ``**kwargs`` are made anew for every
    call, so those are compared item by item.
    """
    if got.keys() != expected.keys():
        return False
    for name, v in expected.items():
        w = got[name]
        if w is v:
            continue
        if type(v) is tuple and type(w) is tuple and len(v) == len(w) and all(a is b for a, b in zip(v, w)):
            continue
        if type(v) is dict and type(w) is dict and v.keys() == w.keys() and all(v[k] is w[k] for k in v):
            continue
        return False
    return True


class Expected:
    """The cache entries an instance must hold, in first-seen order."""

    def __init__(self, func, fname, inst, recorder):
        self.func = func
        self.fname = fname
        self.inst = inst
        self.recorder = recorder
        self.keys = []  # first-seen key objects
        self.index = {}  # key -> position in self.keys
        self.state = {}  # position -> "valid" / "invalid"
        self.value = {}  # position -> cached result

    def expected_key(self, args, kwargs):
        """The key inspect gives, or the exception it (or hashing) raises."""
        try:
            bound = inspect.signature(self.func).bind(self.inst, *args, **kwargs)
            bound.apply_defaults()
        except Exception as e:  # noqa: BLE001 - any failure is compared as is
            return None, None, e
        pairs = sorted(((n, v) for n, v in bound.arguments.items() if n != "self"), key=utf8_order)
        key = (self.fname, tuple(pairs))
        try:
            hash(key)
        except TypeError as e:
            return None, None, e
        return key, dict(bound.arguments), None

    def check_call(self, args, kwargs):
        key, bound, error = self.expected_key(args, kwargs)
        runs_before = len(self.recorder.runs)
        pos = self.index.get(key) if error is None else None
        hit = pos is not None and self.state[pos] == "valid"
        # What the body does for this call, from the function itself.
        # (A call Python itself cannot bind to the function's code raises
        # before the body is entered, so it records no run.)
        body_result = body_error = None
        body_runs = 1
        if error is None and not hit:
            try:
                body_result = self.func(self.inst, *args, **kwargs)
            except Exception as e:  # noqa: BLE001
                body_error = e
            body_runs = len(self.recorder.runs) - runs_before
            runs_before = len(self.recorder.runs)

        try:
            got = getattr(self.inst, self.fname)(*args, **kwargs)
        except Exception as e:  # noqa: BLE001
            got, got_error = None, e
        else:
            got_error = None

        expected_error = error if error is not None else body_error
        if error is not None:
            outcome(f"bind fails: {type(error).__name__}")
        else:
            outcome("hit" if hit else ("body raises" if body_error is not None else "computed"))
        context = f"call args={args!r} kwargs={kwargs!r}"
        if expected_error is not None:
            assert got_error is not None, f"{context}: expected {expected_error!r}, got {got!r}"
            assert type(got_error) is type(expected_error) and got_error.args == expected_error.args, (
                f"{context}: expected {expected_error!r}, got {got_error!r}")
        else:
            assert got_error is None, f"{context}: expected success, got {got_error!r}"
        if error is not None:
            assert len(self.recorder.runs) == runs_before, f"{context}: body ran though the call does not bind"
        elif hit:
            assert got is self.value[pos], f"{context}: a hit must return the cached object"
            assert len(self.recorder.runs) == runs_before, f"{context}: body ran on a hit"
        else:
            assert len(self.recorder.runs) == runs_before + body_runs, f"{context}: the body must be called once"
            if pos is None:
                pos = len(self.keys)
                self.keys.append(key)
                self.index[key] = pos
                self.state[pos] = "invalid"
            if body_error is None:
                received = self.recorder.runs[-1]
                assert same_values(received, body_result[1]), (
                    f"{context}: body received {received!r}, expected {body_result[1]!r}")
                assert got is not body_result and got[1] is received
                self.state[pos] = "valid"
                self.value[pos] = got
        self.check_reports(context)
        return bound if error is None and body_error is None and not hit else None

    def check_reports(self, context):
        expected_states = sorted((repr(label_of(k)), self.state[i]) for i, k in enumerate(self.keys))
        got_states = sorted((repr(label), s) for label, s in self.inst.validation_state.items())
        assert got_states == expected_states, f"{context}: validation_state"
        expected_values = [(repr(label_of(k)), id(self.value[i])) for i, k in enumerate(self.keys)
                           if i in self.value]
        got_values = [(repr(label), id(v)) for label, v in self.inst.cached_values.items()]
        assert got_values == expected_values, f"{context}: cached_values"


def decorated_class(func, fname):
    return type("Generated", (QuendleBase,), {fname: quendled()(func)})


def plain_function(func):
    """True while the function carries nothing that changes its signature."""
    return not any(k in func.__dict__ for k in ("__signature__", "__wrapped__"))


def defaults_fit(func):
    return len(func.__defaults__ or ()) <= func.__code__.co_argcount


@pytest.mark.slow
@settings(max_examples=examples(500), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(scenarios())
def test_decorated_call_binds_like_inspect(scenario):
    spec, others, fname, ops = scenario
    recorder = Recorder()
    func = build(spec, fname, recorder)
    cls = decorated_class(func, fname)
    inst = cls()
    model = Expected(func, fname, inst, recorder)
    other_funcs = [build(o, fname, recorder) for o in others]
    done = []
    for op in ops:
        kind = op[0]
        if kind == "again" and done:
            args, kwargs = done[op[1] % len(done)]
            op = ("call", args, dict(reversed(kwargs.items())))
            kind = "call"
        if kind == "call":
            done.append(op[1:])
            bound = model.check_call(op[1], op[2])
            if bound is not None and plain_function(func) and defaults_fit(func):
                # With nothing overriding the signature, what the body received
                # is what inspect bound.
                assert same_values(recorder.runs[-1], bound)
        elif kind == "again":
            pass
        elif kind == "defaults":
            func.__defaults__ = op[1]
        elif kind == "kwdefaults":
            func.__kwdefaults__ = op[1]
        elif kind == "code":
            func.__code__ = other_funcs[op[1]].__code__
        elif kind == "__signature__":
            func.__signature__ = inspect.signature(other_funcs[op[1]])
        elif kind == "__wrapped__":
            func.__wrapped__ = other_funcs[op[1]]
        elif kind == "__signature__=None":
            func.__signature__ = None
        else:
            func.__dict__.pop("__signature__", None)
            func.__dict__.pop("__wrapped__", None)


# ---------------------------------------------------------------------------
# fixed cases


def model_for(func, recorder):
    inst = decorated_class(func, func.__name__)()
    return Expected(func, func.__name__, inst, recorder)


def recording(src, fname="m", **env):
    recorder = Recorder()
    ns = dict(env, _record=recorder)
    exec(src, ns)
    return ns[fname], recorder


def test_examples_bind_as_documented():
    func, recorder = recording("def m(self, b, a, /, B=1, *rest, é=2, **kw):\n"
                               "    return _record({'b': b, 'a': a, 'B': B, 'rest': rest, 'é': é, 'kw': kw})\n")
    inst = decorated_class(func, "m")()
    with pytest.raises(TypeError) as ei:
        inst.m(1, 2)
    assert ei.value.args == ("unhashable type: 'dict'",)
    assert recorder.runs == [] and inst.validation_state == {}

    func, recorder = recording("def m(this, b, a, B=1, *rest, é=2):\n"
                               "    return _record({'b': b, 'a': a, 'B': B, 'rest': rest, 'é': é})\n")
    inst = decorated_class(func, "m")()
    r = inst.m(1, 2, é=3)
    assert inst.m(b=1, a=2, é=3) is r and len(recorder.runs) == 1
    assert list(inst.validation_state) == [
        ("m", (("B", 1), ("a", 2), ("b", 1), ("rest", ()), ("this", inst), ("é", 3)))]


def test_defaults_changed_after_decoration_are_seen_on_the_next_call():
    func, recorder = recording("def m(self, a, b=1, *, c=2):\n    return _record({'a': a, 'b': b, 'c': c})\n")
    model = model_for(func, recorder)
    model.check_call((0,), {})
    func.__defaults__ = (5,)
    model.check_call((0,), {})
    func.__defaults__ = (7, 8)
    model.check_call((), {})
    func.__defaults__ = None
    model.check_call((0,), {})  # b is required now
    func.__kwdefaults__ = {"c": "new"}
    model.check_call((0, 1), {})
    func.__kwdefaults__ = None
    model.check_call((0, 1), {})  # c is required now
    model.check_call((0, 1), {"c": 2})
    func.__kwdefaults__ = {"c": 2, "unrelated": 9}
    model.check_call((0,), {"b": 1})
    assert len(model.keys) == 4


def test_code_replaced_after_decoration_is_seen_on_the_next_call():
    func, recorder = recording("def m(self, a):\n    return _record({'a': a})\n")
    other, _ = recording("def m(self, *, z=0, a):\n    return _record({'z': z, 'a': a})\n")
    model = model_for(func, recorder)
    model.check_call((1,), {})
    func.__code__ = other.__code__
    model.check_call((1,), {})  # too many positional arguments now
    model.check_call((), {"a": 1})  # the function keeps its (empty) defaults: z is required
    func.__kwdefaults__ = {"a": 3, "z": 4}
    model.check_call((), {})
    assert [label_of(k) for k in model.keys] == [("m", (("a", 1),)), ("m", (("a", 3), ("z", 4)))]


def test_signature_attribute_is_followed():
    func, recorder = recording("def m(self, a, b=2):\n    return _record({'a': a, 'b': b})\n")
    model = model_for(func, recorder)
    model.check_call((1,), {})
    # inspect reads __signature__ first: the key follows it, the body still
    # receives the call's arguments as Python binds them.
    func.__signature__ = inspect.Signature([
        inspect.Parameter("self", inspect.Parameter.POSITIONAL_OR_KEYWORD),
        inspect.Parameter("a", inspect.Parameter.POSITIONAL_OR_KEYWORD),
        inspect.Parameter("b", inspect.Parameter.KEYWORD_ONLY, default=9),
    ])
    model.check_call((1,), {})
    model.check_call((1, 2), {})  # b is keyword-only in the signature
    model.check_call((1,), {"b": 9})
    func.__signature__ = None  # inspect ignores None
    model.check_call((1,), {})
    func.__signature__ = "not a signature"
    model.check_call((1,), {})
    del func.__signature__
    model.check_call((1,), {"b": 2})
    assert [label_of(k) for k in model.keys] == [("m", (("a", 1), ("b", 2))), ("m", (("a", 1), ("b", 9)))]


def test_overrides_present_at_decoration_are_followed():
    func, recorder = recording("def m(self, *args, **kwargs):\n    return _record({'args': args, 'kwargs': kwargs})\n")
    func.__signature__ = inspect.signature(lambda self, a, *, b=2: None)
    model = model_for(func, recorder)
    model.check_call((1,), {})
    model.check_call((), {"b": 3, "a": 1})
    model.check_call((1, 2), {})
    target, _ = recording("def target(self, k=0):\n    return None\n", "target")
    func, recorder = recording("def m(self, a):\n    return _record({'a': a})\n")
    func.__wrapped__ = target
    model = model_for(func, recorder)
    model.check_call((), {})  # binds to the wrapped signature; the body then fails on a
    model.check_call((5,), {})
    assert [label_of(k) for k in model.keys] == [("m", (("k", 0),)), ("m", (("k", 5),))]


def test_wrapped_attribute_is_followed():
    func, recorder = recording("def m(self, *args):\n    return _record({'args': args})\n")
    target, _ = recording("def target(self, x, y=0):\n    return None\n", "target")
    model = model_for(func, recorder)
    model.check_call((1,), {})
    func.__wrapped__ = target
    model.check_call((1,), {})
    model.check_call((1, 2, 3), {})  # too many for the wrapped signature
    model.check_call((), {"x": 1})  # binds to the wrapped signature; the body then fails on x
    # A chain: the wrapped function is itself wrapped; a __signature__ stops the walk.
    inner, _ = recording("def inner(self, k):\n    return None\n", "inner")
    target.__wrapped__ = inner
    model.check_call((5,), {})
    target.__signature__ = inspect.signature(lambda self, y: None)
    model.check_call((5,), {})
    assert [label_of(k) for k in model.keys] == [
        ("m", (("args", (1,)),)), ("m", (("x", 1), ("y", 0))), ("m", (("k", 5),)), ("m", (("y", 5),))]


def test_text_signature_attribute_is_followed():
    # inspect reads a function's __text_signature__ before its code.
    func, recorder = recording("def m(self, a, b=2):\n    return _record({'a': a, 'b': b})\n")
    model = model_for(func, recorder)
    func.__text_signature__ = "($self, a, b=5, *, c=7)"
    model.check_call((1,), {})


def crafted(varnames, posonly=0, kwonly=0):
    """A two-argument function whose code carries the given parameter names."""
    recorder = Recorder()
    ns = {"_record": recorder}
    exec("def m(p0, p1, p2=3):\n    return _record({})\n", ns)
    func = ns["m"]
    argcount = 3 - kwonly
    func.__code__ = func.__code__.replace(co_varnames=tuple(varnames), co_argcount=argcount,
                                          co_posonlyargcount=posonly, co_kwonlyargcount=kwonly,
                                          co_nlocals=len(varnames))
    func.__defaults__ = (3,) if kwonly == 0 else None
    func.__kwdefaults__ = {varnames[2]: 3} if kwonly else None
    return func, recorder


@pytest.mark.parametrize("varnames, posonly, kwonly", [
    (("self", "a-b", "c"), 0, 0),  # not an identifier
    (("self", "None", "c"), 0, 0),  # a keyword
    (("self", "a", "None"), 0, 1),  # a keyword, keyword-only
    (("self", "None", "c"), 2, 0),  # a keyword, positional-only: inspect accepts it
    (("self", ".0", "c"), 0, 0),  # implicit comprehension argument: inspect renames it
    (("self", "", "c"), 0, 0),  # empty
    (("self", "a", "a"), 0, 0),  # duplicate
], ids=["not-identifier", "keyword", "keyword-kwonly", "keyword-posonly", "implicit", "empty", "duplicate"])
def test_parameter_names_from_replaced_code_follow_inspect(varnames, posonly, kwonly):
    func, recorder = crafted(varnames, posonly, kwonly)
    model = model_for(func, recorder)
    model.check_call((1,), {})
    model.check_call((1, 2), {})
    model.check_call((), {varnames[1]: 1})


def test_sort_is_by_utf8_bytes():
    names = ["é", "zz", "a_b", "aB", "aa", "a", "B", "ß", "ā"]
    params = ", ".join(names)
    func, recorder = recording(f"def m(self, {params}):\n    return _record({{}})\n")
    inst = decorated_class(func, "m")()
    inst.m(*range(len(names)))
    (label,) = inst.validation_state
    got = [n for n, _ in label[1]]
    assert got == sorted(names, key=lambda n: n.encode("utf-8"))
    assert got == ["B", "a", "aB", "a_b", "aa", "zz", "ß", "é", "ā"]
    assert [v for _, v in label[1]] == [names.index(n) for n in got]
