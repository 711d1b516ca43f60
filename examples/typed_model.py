"""A fully typed model: checked with ``mypy --strict`` by the test suite.

Decorated methods keep the wrapped function's parameters and result type, so
a checker rejects a wrong argument or a misused result at the call.
"""

from __future__ import annotations

import sys
from pathlib import Path

from quendle import QuendleBase, custom_scenario, quendled


class Loan(QuendleBase):
    def __init__(self, principal: float, years: int) -> None:
        self.principal = principal
        self.years = years

    @quendled(serialisable=True)
    def rate(self) -> float:
        return 0.04

    @quendled(track_runtime_dependencies=True)
    def payment(self, periods_per_year: int = 12) -> float:
        r = self.rate() / periods_per_year
        n = self.years * periods_per_year
        return self.principal * r / (1 - (1 + r) ** -n)


def main(out: Path | None = None) -> None:
    loan = Loan(250_000.0, 25)
    monthly = loan.payment()
    with custom_scenario([loan]):
        loan.update_cached_value("rate", 0.06)
        stressed = loan.payment()
    assert stressed > monthly
    assert loan.get_cached_value("payment", periods_per_year=12) == monthly
    dump: dict[str, object] = loan.dump_cache()
    print(f"monthly {monthly:.2f}, stressed {stressed:.2f}, dump {dump}")
    if out is not None:
        out.with_suffix(".dot").write_text("digraph loan {}\n")


if __name__ == "__main__":
    main(Path(sys.argv[1]) if len(sys.argv) > 1 else None)
