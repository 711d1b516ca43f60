import builtins
import collections.abc
import types
import typing

from typing_extensions import disjoint_base

__all__ = ["QuendleBase", "quendled", "automagically_quendled", "custom_scenario"]

_Q = typing.TypeVar("_Q", bound="QuendleBase")
# A decorated method: the instance type (_S), the parameters after `self`
# (_P) and the result (_R) of the function the decorator wraps. An
# `async def` method gives _R = Coroutine[Any, Any, T], so its calls are
# awaited as the function's own are. The second form of the factories'
# `__call__` serves methods whose parameters a checker cannot take apart
# (mypy, for `def m(self, *args)` unless `self` is positional-only): the
# result type stays, the arguments after the instance go unchecked.
# _S is covariant, as the `self` of a plain method is, so that a subclass
# may override a decorated method with one of the same signature.
_S = typing.TypeVar("_S", bound="QuendleBase", covariant=True)
_P = typing.ParamSpec("_P")
_R = typing.TypeVar("_R", covariant=True)

@disjoint_base
class QuendleBase:
    def __new__(cls: type[_Q], *_args: typing.Any, **_kwargs: typing.Any) -> _Q: ...
    def __init_subclass__(cls, cross_instance: builtins.bool | None = None, **kwargs: typing.Any) -> None: ...
    def get_cached_value(
        self, method_name: builtins.str, strict: builtins.bool = True, **kwargs: typing.Any
    ) -> typing.Any: ...
    def is_cached(self, method_name: builtins.str, **kwargs: typing.Any) -> builtins.bool: ...
    def update_cached_value(self, method_name: builtins.str, value: typing.Any, **kwargs: typing.Any) -> None: ...
    def clear_cache(self) -> None: ...
    def clear_cached_value(self, method_name: builtins.str, **kwargs: typing.Any) -> None: ...
    # Method name -> stored value, of the serialisable methods.
    def dump_cache(
        self, order: collections.abc.Sequence[builtins.str] | None = None
    ) -> builtins.dict[builtins.str, typing.Any]: ...
    def load_cache(
        self,
        data: builtins.dict[builtins.str, typing.Any],
        order: collections.abc.Sequence[builtins.str] | None = None,
    ) -> None: ...
    # Pickling (`__reduce_ex__`) and copying carry the cache with the instance.
    def __copy__(self: _Q, /) -> _Q: ...
    def __deepcopy__(self: _Q, memo: builtins.dict[builtins.int, typing.Any], /) -> _Q: ...
    # Keyed by entry: the method name of a call without arguments, else
    # (name, ((param, value), ...)).
    @property
    def cached_values(self) -> builtins.dict[typing.Any, typing.Any]: ...
    @property
    def dependency_graph(self) -> builtins.dict[typing.Any, builtins.set[typing.Any]]: ...
    @property
    def validation_state(self) -> builtins.dict[typing.Any, builtins.str]: ...

@typing.final
class quendled:
    def __new__(
        cls,
        use_cache: builtins.bool = True,
        dependencies: typing.Any | None = None,
        track_runtime_dependencies: builtins.bool = False,
        serialisable: builtins.bool = False,
        cutoff: builtins.bool | collections.abc.Callable[[typing.Any, typing.Any], typing.Any] | None = None,
    ) -> quendled: ...
    @typing.overload
    def __call__(
        self, func: collections.abc.Callable[typing.Concatenate[_S, _P], _R]
    ) -> QuendleDecorator[_S, _P, _R]: ...
    @typing.overload
    def __call__(
        self, func: collections.abc.Callable[typing.Concatenate[_S, ...], _R]
    ) -> QuendleDecorator[_S, ..., _R]: ...

@typing.final
class automagically_quendled:
    def __new__(
        cls,
        use_cache: builtins.bool = True,
        dependencies: typing.Any | None = None,
        track_runtime_dependencies: builtins.bool = False,
        serialisable: builtins.bool = False,
        cutoff: builtins.bool | collections.abc.Callable[[typing.Any, typing.Any], typing.Any] | None = None,
    ) -> automagically_quendled: ...
    @typing.overload
    def __call__(
        self, func: collections.abc.Callable[typing.Concatenate[_S, _P], _R]
    ) -> QuendleDecorator[_S, _P, _R]: ...
    @typing.overload
    def __call__(
        self, func: collections.abc.Callable[typing.Concatenate[_S, ...], _R]
    ) -> QuendleDecorator[_S, ..., _R]: ...

@typing.final
class QuendleDecorator(typing.Generic[_S, _P, _R]):
    # On the class, the decorator takes the instance first, as the function does.
    def __call__(
        self,
        _self: _S,  # type: ignore[misc]  # covariant: see _S
        /,
        *args: _P.args,
        **kwargs: _P.kwargs,
    ) -> _R: ...
    # Looked up on the class it is itself; on an instance, the method bound to it.
    @typing.overload
    def __get__(self, obj: None, _objtype: typing.Any = None, /) -> QuendleDecorator[_S, _P, _R]: ...
    @typing.overload
    def __get__(
        self,
        obj: _S,  # type: ignore[misc]  # covariant: see _S
        _objtype: typing.Any = None,
        /,
    ) -> collections.abc.Callable[_P, _R]: ...
    def __set__(self, _obj: typing.Any, _value: typing.Any, /) -> None: ...
    @property
    def __name__(self) -> builtins.str: ...
    @property
    def __qualname__(self) -> builtins.str: ...
    @property
    def __wrapped__(self) -> collections.abc.Callable[typing.Concatenate[_S, _P], _R]: ...
    @property
    def __isabstractmethod__(self) -> builtins.bool: ...
    # The wrapped function's, so that inspect takes the decorator for a function.
    @property
    def __code__(self) -> types.CodeType: ...
    @property
    def __defaults__(self) -> builtins.tuple[typing.Any, ...] | None: ...
    @property
    def __kwdefaults__(self) -> builtins.dict[builtins.str, typing.Any] | None: ...
    @property
    def __annotations__(self) -> builtins.dict[builtins.str, typing.Any]: ...  # type: ignore[override]

@typing.final
class Scenario:
    def __enter__(self) -> Scenario: ...
    # Never swallows an exception (returns False at run time): None tells
    # checkers so, and code after a `with` that returns is unreachable.
    def __exit__(
        self, _exc_type: typing.Any | None, _exc_value: typing.Any | None, _traceback: typing.Any | None
    ) -> None: ...

def custom_scenario(items: collections.abc.Sequence[typing.Any]) -> Scenario: ...

# Not in __all__: why an entry is or is not served, "<category>: <reason>"; the
# arguments are bound as a call of the method binds them.
def explain(
    instance: QuendleBase, method_name: builtins.str, /, *args: typing.Any, **kwargs: typing.Any
) -> builtins.str: ...
# Not in __all__: the counters of one decorated method of an instance. They
# count events since the instance was made (a copy or an unpickled instance
# starts at zero); a scenario's exit does not take them back.
class CacheInfo(typing.NamedTuple):
    hits: builtins.int
    runs: builtins.int
    unchanged: builtins.int
    revalidated: builtins.int
    invalidations: builtins.int
    entries: builtins.int

# Not in __all__: per decorated method of the instance's class, in the
# class's method order, its counters.
def cache_info(instance: QuendleBase, /) -> builtins.dict[builtins.str, CacheInfo]: ...

# Not in __all__: one event of a traced call. `cause` says, for "run" and
# "invalidated", which change made it (and through which dependency).
class TraceEvent(typing.NamedTuple):
    kind: typing.Literal["hit", "run", "unchanged", "revalidated", "invalidated"]
    instance: QuendleBase
    label: builtins.str
    cause: builtins.str | None

@typing.final
class Trace:
    def __enter__(self) -> builtins.list[TraceEvent]: ...
    # Never swallows an exception.
    def __exit__(
        self, _exc_type: typing.Any | None, _exc_value: typing.Any | None, _traceback: typing.Any | None
    ) -> None: ...

# Not in __all__: collects the events of the calls made on this thread while open.
def trace() -> Trace: ...

# Not in __all__: warned, once per class and method, when a dependency names a
# quendled method without arguments whose calls all bind defaults.
class DependencyDefaultsWarning(UserWarning): ...

def cross_instance_edges(
    obj: QuendleBase,
) -> builtins.dict[typing.Any, builtins.dict[builtins.str, builtins.list[tuple[QuendleBase, typing.Any]]]]: ...
