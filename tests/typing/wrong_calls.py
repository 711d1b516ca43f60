# Deliberately wrong uses of the module: the type checker must reject each
# line marked with the error code it should report.
from quendle import QuendleBase, custom_scenario, quendled


class M(QuendleBase):
    @quendled(use_cache=1)  # E: arg-type
    def f(self) -> int:
        return 1


m = M()
m.is_cached(5)  # E: arg-type
m.get_cached_value("f", strict="yes")  # E: arg-type
custom_scenario(5)  # E: arg-type
m.dump_cache(order=[1, 2])  # E: list-item
m.load_cache()  # E: call-arg
quendled(cache=True)  # E: call-arg
