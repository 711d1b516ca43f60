import pytest

from conftest import argument_notes, notes
from quendle import QuendleBase, automagically_quendled, quendled

FACTORIES = [quendled, automagically_quendled]
SERIAL_PREFIX = "Serialisable method must have exactly one parameter named 'self', got: "
DEP_SHAPE = "Dependency must be a tuple (str, dict) or a str"


def build(name, **methods):
    return type(name, (QuendleBase,), methods)


@pytest.mark.parametrize("factory", FACTORIES)
def test_bare_decorator_puts_the_function_into_use_cache(factory):
    with pytest.raises(TypeError) as ei:

        class Bad(QuendleBase):
            @factory
            def f(self):
                return 1

    assert ei.value.args == ("'function' object is not an instance of 'bool'",)
    assert notes(ei.value) == argument_notes("use_cache")


@pytest.mark.parametrize("factory", FACTORIES)
@pytest.mark.parametrize("positional", [True, False])
def test_options_by_position_or_keyword(factory, positional):
    opts = dict(use_cache=False, dependencies=["dep"], track_runtime_dependencies=True, serialisable=False)
    made = factory(*opts.values()) if positional else factory(**opts)
    assert type(made) is factory

    class M(QuendleBase):
        calls = 0

        @made
        def f(self):
            M.calls += 1
            return self.g()

        @quendled()
        def g(self):
            return 1

    m = M()
    assert (m.f(), m.f(), M.calls) == (1, 1, 2)
    assert m.validation_state == {"f": "permanently invalid", "g": "valid"}
    assert m.dependency_graph == {"f": set(), "dep": {"f"}, "g": {"f"}}
    assert m.cached_values == {"g": 1}


def test_all_positional_serialisable_runs_the_check():
    with pytest.raises(ValueError) as ei:
        quendled(True, None, False, True)(lambda self, x: x)
    assert ei.value.args == (SERIAL_PREFIX + '["self", "x"]',)


@pytest.mark.parametrize(
    "factory, g_dependants",
    [
        (quendled(), set()),
        (quendled(dependencies=None), set()),
        (quendled(dependencies=[]), set()),
        (automagically_quendled(dependencies=[]), set()),
        (automagically_quendled(), {"f"}),
        (automagically_quendled(dependencies=None), {"f"}),
    ],
)
def test_empty_versus_absent_dependencies(factory, g_dependants):
    class M(QuendleBase):
        @factory
        def f(self):
            return self.g()

        @quendled()
        def g(self):
            return 2

    m = M()
    assert m.f() == 2
    assert m.dependency_graph == {"f": set(), "g": g_dependants}
    assert m.validation_state == {"f": "valid", "g": "valid"}


def test_given_dependencies_skip_source_reading():
    namespace = {}
    exec("def f(self):\n    return self.g()\n", namespace)
    fn = namespace["f"]
    assert quendled()(fn).__name__ == "f"
    assert automagically_quendled(dependencies=[])(fn).__name__ == "f"
    with pytest.raises(OSError):
        automagically_quendled()(fn)


class Shop(QuendleBase):
    @quendled()
    def total(self):
        return 3


def test_descriptor_binding():
    dec = Shop.__dict__["total"]
    shop = Shop()
    assert Shop.total is dec and type(dec).__name__ == "QuendleDecorator"
    first, second = shop.total, shop.total
    assert first is not second
    assert first.__func__ is dec and first.__self__ is shop
    assert dec.__get__(None, Shop) is dec
    assert dec.__get__(shop).__self__ is shop
    shop.__dict__["total"] = 99  # a data descriptor is not hidden by the instance dict
    assert shop.total() == 3


@pytest.mark.parametrize(
    "action, exc_type, message",
    [
        (lambda d, o: setattr(o, "total", 1), TypeError, "Cannot assign to decorated method"),
        (lambda d, o: d.__set__(o, 1), TypeError, "Cannot assign to decorated method"),
        (lambda d, o: d.__set__(None, None), TypeError, "Cannot assign to decorated method"),
        (lambda d, o: delattr(o, "total"), NotImplementedError, "can't delete descriptor"),
        (lambda d, o: d.__delete__(o), NotImplementedError, "can't delete descriptor"),
    ],
)
def test_assignment_and_deletion_are_refused(action, exc_type, message):
    shop = Shop()
    with pytest.raises(exc_type) as ei:
        action(Shop.__dict__["total"], shop)
    assert type(ei.value) is exc_type and ei.value.args == (message,)
    assert shop.total() == 3


def test_name_and_qualname_are_the_plain_function_name():
    for attr in ("__name__", "__qualname__"):
        value = getattr(Shop.total, attr)
        assert type(value) is str and value == "total"
        with pytest.raises(AttributeError):
            setattr(Shop.total, attr, "other")


def test_name_is_read_at_decoration_time():
    def compute(self):
        return 5

    compute.__name__ = "renamed"
    dec = quendled()(compute)
    compute.__name__ = "later"
    assert (dec.__name__, dec.__qualname__) == ("renamed", "renamed")
    obj = build("C", anything=dec)()
    assert obj.anything() == 5
    assert obj.validation_state == {"renamed": "valid"}
    assert obj.get_cached_value("renamed") == 5


class Named:
    __name__ = "thing"


def test_any_object_with_a_str_name_decorates():
    assert quendled()(lambda self: 1).__name__ == "<lambda>"
    dec = quendled()(func=Named())
    obj = build("C", thing=dec)()
    with pytest.raises(TypeError):  # found out only when called
        obj.thing()


class BadName:
    __name__ = 3


@pytest.mark.parametrize("factory", [quendled(), automagically_quendled(dependencies=[])])
def test_unusable_function_names(factory):
    with pytest.raises(AttributeError):
        factory(5)
    with pytest.raises(TypeError) as ei:
        factory(BadName())
    assert ei.value.args == ("'int' object is not an instance of 'str'",)


class DepList(list):
    pass


@pytest.mark.parametrize("factory", FACTORIES)
@pytest.mark.parametrize(
    "deps, exc_type, message",
    [
        (("a", {}), TypeError, "'tuple' object is not an instance of 'list'"),
        ("a", TypeError, "'str' object is not an instance of 'list'"),
        ({"a": {}}, TypeError, "'dict' object is not an instance of 'list'"),
        ([("a",)], ValueError, DEP_SHAPE),
        ([("a", {}, 1)], ValueError, DEP_SHAPE),
        ([()], ValueError, DEP_SHAPE),
        ([1], ValueError, DEP_SHAPE),
        ([None], ValueError, DEP_SHAPE),
        ([["a", {}]], ValueError, DEP_SHAPE),
        ([(1, {})], TypeError, "'int' object is not an instance of 'str'"),
        ([("a", [])], TypeError, "'list' object is not an instance of 'dict'"),
        ([("a", None)], TypeError, "'None' is not an instance of 'dict'"),
        (["ok", 1, (1, {})], ValueError, DEP_SHAPE),  # the first bad item wins
    ],
)
def test_malformed_dependencies(factory, deps, exc_type, message):
    with pytest.raises(exc_type) as ei:
        factory(dependencies=deps)
    assert type(ei.value) is exc_type and ei.value.args == (message,)
    assert notes(ei.value) == []


def test_dependency_signatures():
    deps = DepList([("a", {"self": 5, "x": 1}), "b", "b", ("c", {"z": 1, "B": 2, "a": 3})])

    def f(self):
        return 0

    obj = build("C", f=quendled(dependencies=deps)(f))()
    assert obj.f() == 0
    assert obj.dependency_graph == {
        "f": set(),
        ("a", (("x", 1),)): {"f"},
        "b": {"f"},
        ("c", (("B", 2), ("a", 3), ("z", 1))): {"f"},
    }
    assert obj.validation_state == {"f": "permanently invalid"}  # never-computed dependencies


class Token:
    pass


def test_dependency_dicts_are_read_afresh_on_each_decoration():
    token = Token()
    kwargs = {"x": token}
    factory = quendled(dependencies=[("a", kwargs)])

    def one(self):
        return 1

    def two(self):
        return 2

    first = factory(one)
    kwargs["x"] = 2
    second = factory(two)
    assert first is not second
    obj = build("C", one=first, two=second)()
    obj.one(), obj.two()
    assert obj.dependency_graph == {
        "one": set(),
        "two": set(),
        ("a", (("x", token),)): {"one"},
        ("a", (("x", 2),)): {"two"},
    }


@pytest.mark.parametrize("serialisable", [False, True])
@pytest.mark.parametrize(
    "kwargs, message",
    [({"x": []}, "unhashable type: 'list'"), ({1: 2}, "'int' object is not an instance of 'str'")],
)
def test_dependency_signature_errors_surface_at_decoration(kwargs, message, serialisable):
    factory = quendled(dependencies=[("a", kwargs)], serialisable=serialisable)
    with pytest.raises(TypeError) as ei:
        factory(lambda self, extra: 0)  # signature errors come before the serialisable check
    assert ei.value.args == (message,)


def m_self(self):
    pass


def m_default(self, x=1):
    pass


def m_none():
    pass


def m_this(this):
    pass


def m_var(self, *args, **kw):
    pass


@pytest.mark.parametrize("factory", FACTORIES)
@pytest.mark.parametrize(
    "func, tail",
    [(m_default, '["self", "x"]'), (m_none, "[]"), (m_this, '["this"]'), (m_var, '["self", "args", "kw"]')],
)
def test_serialisable_check(factory, func, tail):
    assert factory(serialisable=True, dependencies=[])(m_self).__name__ == "m_self"
    assert factory(dependencies=[])(func).__name__ == func.__name__  # unchecked when not serialisable
    with pytest.raises(ValueError) as ei:
        factory(serialisable=True, dependencies=[])(func)
    assert ei.value.args == (SERIAL_PREFIX + tail,)


class Keys(QuendleBase):
    runs = 0

    @quendled()
    def total(self):
        return 0

    @quendled()
    def f(self, b, a):
        Keys.runs += 1
        return [a, b]

    @quendled()
    def order(self, a_b, aB, a, B, aa):
        return 0

    @quendled()
    def h(self, x=1):
        Keys.runs += 1
        return [x]

    @quendled()
    def v(self, *args):
        return 0

    @quendled()
    def t(this, n):
        return 0

    @quendled()
    def w(self, **kw):
        return 0


@pytest.mark.parametrize(
    "call, label",
    [
        (lambda k: k.total(), lambda k: "total"),
        (lambda k: k.f(1, 2), lambda k: ("f", (("a", 2), ("b", 1)))),
        (lambda k: k.f(a=2, b=1), lambda k: ("f", (("a", 2), ("b", 1)))),
        (lambda k: k.order(1, 2, 3, 4, 5), lambda k: ("order", (("B", 4), ("a", 3), ("aB", 2), ("a_b", 1), ("aa", 5)))),
        (lambda k: k.h(), lambda k: ("h", (("x", 1),))),
        (lambda k: k.v(1, 2), lambda k: ("v", (("args", (1, 2)),))),
        (lambda k: k.t(5), lambda k: ("t", (("n", 5), ("this", k)))),
    ],
)
def test_signature_labels(call, label):
    k = Keys()
    call(k)
    [(got, state)] = k.validation_state.items()
    assert got == label(k) and state == "valid"
    assert type(got) is type(label(k))


@pytest.mark.parametrize(
    "calls",
    [
        [lambda k: k.h(), lambda k: k.h(1), lambda k: k.h(x=1), lambda k: k.h(1.0), lambda k: k.h(True)],
        [lambda k: k.f(1, 2), lambda k: k.f(a=2, b=1), lambda k: k.f(1, a=2)],
    ],
)
def test_equivalent_calls_share_one_entry(calls):
    k = Keys()
    Keys.runs = 0
    results = [call(k) for call in calls]
    assert Keys.runs == 1 and all(r is results[0] for r in results)
    assert len(k.validation_state) == 1


@pytest.mark.parametrize(
    "call, message",
    [(lambda k: k.w(), "unhashable type: 'dict'"), (lambda k: k.h(1, 2), "too many positional arguments")],
)
def test_unbindable_or_unhashable_calls_change_nothing(call, message):
    k = Keys()
    with pytest.raises(TypeError, match=message):
        call(k)
    assert k.validation_state == {} and k.dependency_graph == {}


def test_one_factory_decorates_independently():
    factory = quendled(use_cache=False)

    def a(self):
        return [1]

    def b(self):
        return [2]

    obj = build("C", a=factory(a), b=factory(b))()
    assert obj.a() is not obj.a() and obj.b() == [2]
    assert obj.validation_state == {"a": "permanently invalid", "b": "permanently invalid"}
    assert obj.cached_values == {}
