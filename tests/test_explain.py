"""quendle.explain: why an entry is or is not served."""

import pytest

import quendle
from conftest import argument_notes, notes
from models import Counted
from quendle import QuendleBase, automagically_quendled, custom_scenario, quendled

explain = quendle.explain
RECOMPUTES = "; the next call recomputes it"
NEVER_STORED = " is never stored, so every call runs its body"


def category(text):
    return text.partition(": ")[0]


class Explained(Counted):
    @quendled()
    def rate(self):
        self.ran("rate")
        return 0.05

    @automagically_quendled()
    def growth(self):
        self.ran("growth")
        return 1 + self.rate()

    @quendled(dependencies=["growth"])
    def forecast(self, years):
        self.ran("forecast")
        return 100 * self.growth() ** years

    @quendled(dependencies=["rat"])  # misspelt
    def misspelt(self):
        self.ran("misspelt")
        return self.rate()

    def helper(self):
        return 2

    @automagically_quendled()
    def via_helper(self):
        self.ran("via_helper")
        return self.helper() + self.rate()

    @quendled(use_cache=False)
    def raw(self):
        self.ran("raw")
        return 3

    @quendled(track_runtime_dependencies=True)
    def on_raw(self):
        return self.raw()

    @quendled(dependencies=["on_raw"])
    def on_on_raw(self):
        self.ran("on_on_raw")
        return self.on_raw()

    @quendled(dependencies=["rate"])
    def declares_rate(self):
        return 1  # never calls rate(): computed whatever state rate() is in

    @quendled()
    def fails(self):
        raise ValueError("no")

    @quendled(dependencies=["fails"])
    def on_fails(self):
        return 1

    @quendled()
    def lookup(self, method_name, instance=0):
        return (method_name, instance)

    @quendled()
    def with_default(self, n=1):
        return n

    @automagically_quendled()
    def on_default(self):
        return self.with_default()


def test_not_in_all_and_text_signature():
    assert "explain" not in quendle.__all__
    assert explain.__module__ == "quendle" and explain.__self__ is quendle
    assert explain.__text_signature__ == "(instance, method_name, /, *args, **kwargs)"


def served(call):
    return f"served: {call} is valid and stored; the next call returns it without running the body"


@pytest.mark.parametrize("setup, name, kwargs, expected", [
    (lambda m: m.rate(), "rate", {}, "served: rate() is valid and stored; the next call returns it without "
     "running the body"),
    (lambda m: None, "forecast", {"years": 2}, "never computed: no call of forecast(years=2) has been made on "
     "this instance"),
    (lambda m: m.forecast(2), "forecast", {"years": 3}, "never computed: no call of forecast(years=3) has been "
     "made on this instance"),
    (lambda m: m.misspelt(), "rate", {}, "served: rate() is valid and stored; the next call returns it without "
     "running the body"),
    (lambda m: m.on_fails(), "fails", {}, "never computed: fails() has no entry (it is only named as a "
     "dependency, or was first called inside a scenario that has ended)"),
    (lambda m: pytest.raises(ValueError, m.fails), "fails", {}, "never computed: no call of fails() has "
     "completed (a call that raises stores nothing)"),
    (lambda m: None, "raw", {}, "uncached: raw() is decorated with use_cache=False, so every call runs its body"),
    (lambda m: m.raw(), "raw", {}, "uncached: raw() is decorated with use_cache=False, so every call runs its body"),
    (lambda m: m.misspelt(), "rat", {}, "uncached: Explained has no attribute 'rat', so rat() is never cached"),
    (lambda m: m.via_helper(), "helper", {}, "uncached: Explained.helper is not a quendled method, so helper() is "
     "never cached"),
    (lambda m: m.lookup("x"), "lookup", {"method_name": "x", "instance": 0},
     "served: lookup(instance=0, method_name='x') is valid and stored; the next call returns it without running "
     "the body"),
], ids=["served", "unseen", "unseen-arguments", "dependency-served", "named-only", "raised", "uncached-unseen",
        "uncached", "missing-attribute", "plain-method", "keywords-named-like-parameters"])
def test_categories(setup, name, kwargs, expected):
    m = Explained()
    setup(m)
    assert explain(m, name, **kwargs) == expected


def test_misspelt_declared_dependency_reruns_and_says_why():
    m = Explained()
    for _ in range(3):
        m.misspelt()
    assert m.calls["misspelt"] == 3
    assert m.validation_state["misspelt"] == "permanently invalid"
    assert explain(m, "misspelt") == ("permanently invalid: misspelt() depends on rat(), and Explained has no "
                                      "attribute 'rat'; misspelt()" + NEVER_STORED)


def test_plain_helper_found_by_source_analysis():
    m = Explained()
    m.via_helper()
    m.via_helper()
    assert m.calls["via_helper"] == 2
    assert explain(m, "via_helper") == ("permanently invalid: via_helper() depends on helper(), which is not a "
                                        "quendled method of Explained; via_helper()" + NEVER_STORED)


def test_uncached_dependency_named_through_the_chain():
    m = Explained()
    m.on_on_raw()
    m.on_on_raw()
    assert m.calls["on_on_raw"] == 2
    assert explain(m, "on_on_raw") == ("permanently invalid: on_on_raw() depends on raw() through on_raw(), which "
                                       "is not cached (use_cache=False); on_on_raw()" + NEVER_STORED)


def test_dependency_computed_too_late_and_defaults_not_named():
    m = Explained()
    m.forecast(2)  # growth() is declared, and computed by the body: stored
    fresh = Explained()
    with pytest.warns(quendle.DependencyDefaultsWarning):
        fresh.on_default()  # discovered with_default() names no argument: ("with_default", ()) never has an entry
    assert explain(fresh, "on_default") == (
        "permanently invalid: on_default() depends on with_default(), but with_default is called with its "
        "defaults, as with_default(n=1) (a dependency names every parameter, defaults included); on_default()"
        + NEVER_STORED)

    class Late(QuendleBase):
        @quendled()
        def base(self):
            return 1

        @quendled(dependencies=["base"])
        def early(self):
            return 2

    late = Late()
    late.early()  # base() had no entry yet
    late.base()
    assert explain(late, "early") == ("permanently invalid: early() completed before its dependencies (base()) had "
                                      "been computed; an entry computed so is never stored again, so every call "
                                      "runs its body")


UNRECORDED = "invalid: forecast(years=2) was invalidated by a change that is no longer recorded (the changed entry "\
    f"has been recomputed since){RECOMPUTES}"


@pytest.mark.parametrize("change, phrase, after_growth", [
    (lambda m: m.update_cached_value("rate", 0.5), "updated (update_cached_value)",
     f"invalid: rate() was updated (update_cached_value), and forecast(years=2) depends on it through growth()"
     f"{RECOMPUTES}"),
    # growth() recomputes the cleared rate() too, and the record of the clear goes with it
    (lambda m: m.clear_cached_value("rate"), "cleared (clear_cached_value)", UNRECORDED),
], ids=["update", "clear"])
def test_update_and_clear_name_the_root(change, phrase, after_growth):
    m = Explained()
    m.forecast(2)
    change(m)
    assert explain(m, "growth") == f"invalid: rate() was {phrase}, and growth() depends on it{RECOMPUTES}"
    assert explain(m, "forecast", years=2) == (f"invalid: rate() was {phrase}, and forecast(years=2) depends on it "
                                               f"through growth(){RECOMPUTES}")
    m.growth()  # the level between is valid again; a root still recorded still explains forecast(2)
    assert explain(m, "forecast", years=2) == after_growth
    m.forecast(2)
    assert category(explain(m, "forecast", years=2)) == "served"


def test_own_clear_and_update():
    m = Explained()
    m.rate()
    m.clear_cached_value("rate")
    assert explain(m, "rate") == f"invalid: rate() was cleared (clear_cached_value){RECOMPUTES}"
    m.rate()
    m.update_cached_value("rate", 1.0)
    assert category(explain(m, "rate")) == "served"


def test_invalidated_by_a_computation_with_a_stale_input():
    m = Explained()
    with pytest.raises(ValueError):
        m.fails()  # registered, never stored: invalid with no recorded change
    m.on_fails()  # computed while fails() was invalid: not stored
    assert m.validation_state["on_fails"] == "invalid"
    assert explain(m, "on_fails") == ("invalid: on_fails() was invalidated (its last computation met an invalid "
                                      f"dependency and was not stored){RECOMPUTES}")
    m.rate()
    m.declares_rate()
    m.update_cached_value("rate", 2.0)
    m.clear_cached_value("rate")
    m.declares_rate()  # computed while rate() is invalid; the clear is the root change
    assert explain(m, "declares_rate") == ("invalid: rate() was cleared (clear_cached_value), and declares_rate() "
                                           f"depends on it{RECOMPUTES}")


def test_deep_chain_names_the_root():
    depth = 6

    namespace = {"quendled": quendled}
    body = ["class Chain(QuendleBase):", "    @quendled()", "    def level0(self):", "        return 0"]
    for i in range(1, depth):
        body += [f"    @quendled(dependencies=['level{i - 1}'])", f"    def level{i}(self):",
                 f"        return self.level{i - 1}() + 1"]
    exec("\n".join(body), {"QuendleBase": QuendleBase, **namespace}, namespace)
    c = namespace["Chain"]()
    assert c.level5() == 5
    c.update_cached_value("level0", 10)
    through = ", ".join(f"level{i}()" for i in range(depth - 2, 0, -1))
    assert explain(c, f"level{depth - 1}") == (f"invalid: level0() was updated (update_cached_value), and level5() "
                                               f"depends on it through {through}{RECOMPUTES}")
    c.level2()  # the lower levels recompute; the upper ones still name the root
    assert explain(c, "level4") == ("invalid: level0() was updated (update_cached_value), and level4() depends on "
                                    f"it through level3(), level2(), level1(){RECOMPUTES}")


def test_record_goes_when_the_key_is_computed_again():
    m = Explained()
    m.forecast(2)
    m.clear_cached_value("rate")
    m.rate()  # rate() recomputed: its record goes
    assert category(explain(m, "rate")) == "served"
    # growth() and forecast(2) were never recomputed; the change that made
    # them invalid is no longer recorded anywhere upstream.
    assert explain(m, "growth") == ("invalid: growth() was invalidated by a change that is no longer recorded (the "
                                    f"changed entry has been recomputed since){RECOMPUTES}")


def test_clear_cache():
    m = Explained()
    m.forecast(2)
    m.update_cached_value("rate", 1.0)
    m.clear_cache()
    assert explain(m, "forecast", years=2) == f"invalid: clear_cache() removed or invalidated forecast(years=2){RECOMPUTES}"
    assert explain(m, "rate") == f"invalid: clear_cache() removed or invalidated rate(){RECOMPUTES}"
    m.forecast(2)
    assert category(explain(m, "forecast", years=2)) == "served"


def test_scenario_exit_drops_the_records_made_inside():
    m = Explained()
    m.forecast(2)
    m.clear_cached_value("growth")
    cleared = f"invalid: growth() was cleared (clear_cached_value), and forecast(years=2) depends on it{RECOMPUTES}"
    assert explain(m, "forecast", years=2) == cleared
    with custom_scenario([m]):
        m.forecast(2)  # growth() recomputed in the layer: its record goes
        m.update_cached_value("rate", 0.5)
        assert explain(m, "forecast", years=2) == ("invalid: rate() was updated (update_cached_value), and "
                                                   f"forecast(years=2) depends on it through growth(){RECOMPUTES}")
    assert explain(m, "forecast", years=2) == cleared
    assert category(explain(m, "rate")) == "served"


def test_a_clear_inside_a_scenario_is_explained_until_the_exit():
    m = Explained()
    m.rate()
    with custom_scenario([m]):
        m.clear_cached_value("rate")  # hides the base value until the exit
        assert category(explain(m, "rate")) == "invalid"
    assert category(explain(m, "rate")) == "served"


@pytest.mark.parametrize("name, kwargs", [("nothing", {}), ("helper", {}), ("forecast", {"years": [1]})])
def test_unknown_entries_fail_as_the_queries_do(name, kwargs):
    m = Explained()
    m.forecast(2)
    errors = []
    for query in (lambda: m.is_cached(name, **kwargs), lambda: explain(m, name, **kwargs)):
        with pytest.raises(Exception) as ei:
            query()
        errors.append((type(ei.value), ei.value.args[:1] if ei.type is KeyError else None))
    assert errors[0] == errors[1]


@pytest.mark.parametrize("args, kwargs, exc, message, note", [
    ((), {}, TypeError, "explain() missing 2 required positional arguments: 'instance' and 'method_name'", None),
    ((Explained(),), {}, TypeError, "explain() missing 1 required positional argument: 'method_name'", None),
    ((5, "rate"), {}, TypeError, "'int' object is not an instance of 'QuendleBase'", "instance"),
    ((Explained(), 1), {}, TypeError, "'int' object is not an instance of 'str'", "method_name"),
])
def test_argument_errors(args, kwargs, exc, message, note):
    with pytest.raises(exc) as ei:
        explain(*args, **kwargs)
    assert ei.value.args == (message,)
    if note is not None:
        assert notes(ei.value) == argument_notes(note)


class Noisy:
    """An argument value whose repr() uses the instance being explained."""

    def __init__(self, owner):
        self.owner = owner

    def __hash__(self):
        return 1

    def __eq__(self, other):
        return isinstance(other, Noisy)

    def __repr__(self):
        self.owner.rate()
        return f"Noisy({self.owner.validation_state['rate']})"


def test_wording_runs_with_the_instance_free():
    class Keyed(QuendleBase):
        @quendled()
        def rate(self):
            return 1

        @quendled()
        def keyed(self, x):
            return 2

    k = Keyed()
    k.keyed(Noisy(k))
    assert explain(k, "keyed", x=Noisy(k)) == served("keyed(x=Noisy(valid))")
