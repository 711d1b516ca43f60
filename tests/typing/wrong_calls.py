# Deliberately wrong uses of the module, for the type checkers only (never
# run): each checker in its strict mode must report exactly the lines marked
# "# E:", followed by the mypy error codes and the pyright rules expected
# there.
from collections.abc import Coroutine
from typing import Any

from quendle import QuendleBase, custom_scenario, quendled


class M(QuendleBase):
    @quendled(use_cache=1)  # E: arg-type reportArgumentType
    def f(self) -> int:
        return 1

    @quendled()
    def discount(self, year: int) -> float:
        return 0.9**year

    @quendled()
    async def fetch(self, key: str) -> bytes:
        return key.encode()


class Child(M):
    @quendled()
    def discount(self, year: str) -> float:  # E: override reportIncompatibleVariableOverride
        return 1.0


class Plain:
    @quendled()  # E: type-var reportArgumentType
    def f(self) -> int:
        return 1


@quendled()  # E: arg-type reportArgumentType
def no_instance() -> int:
    return 1


m = M()
m.is_cached(5)  # E: arg-type reportArgumentType
m.get_cached_value("f", strict="yes")  # E: arg-type reportArgumentType
custom_scenario(5)  # E: arg-type reportArgumentType
m.dump_cache(order=[1, 2])  # E: list-item reportArgumentType
m.load_cache()  # E: call-arg reportCallIssue
quendled(cache=True)  # E: call-arg reportCallIssue

# A decorated method keeps the signature and result of its function.
m.discount("one")  # E: arg-type reportArgumentType
m.discount(1, 2)  # E: call-arg reportCallIssue
m.discount(yeer=1)  # E: call-arg reportCallIssue
m.discount()  # E: call-arg reportCallIssue
x: str = m.discount(1)  # E: assignment reportAssignmentType
M.discount(1)  # E: arg-type call-arg reportCallIssue
M.discount(Plain(), 1)  # E: arg-type reportArgumentType
M.discount.__wrapped__(m, "one")  # E: arg-type reportArgumentType
Child.discount(m, "one")  # E: arg-type reportArgumentType
m.f(1)  # E: call-arg reportCallIssue

# An async method gives a coroutine, not its function's result.
y: bytes = m.fetch("k")  # E: assignment reportAssignmentType
z: Coroutine[Any, Any, str] = m.fetch("k")  # E: assignment reportAssignmentType
