"""A small pricing model, documented on the Sphinx page with autodoc."""

from quendle import QuendleBase, automagically_quendled, quendled


class Bond(QuendleBase):
    """A fixed-coupon bond.

    :param face: the amount repaid at maturity.
    :param coupon: the yearly coupon, as a fraction of ``face``.
    """

    def __init__(self, face: float, coupon: float) -> None:
        self.face = face
        self.coupon = coupon

    @quendled(serialisable=True)
    def rate(self) -> float:
        """The flat discount rate."""
        return 0.05

    @automagically_quendled()
    def discount(self, year: int = 1) -> float:
        """The discount factor for ``year``; depends on :meth:`rate`."""
        return (1 + self.rate()) ** -year

    @quendled(track_runtime_dependencies=True)
    def price(self, years: int) -> float:
        """The present value of ``years`` coupons and the face amount.

        Every :meth:`discount` call it makes is recorded as a dependency.
        """
        coupons = sum(self.face * self.coupon * self.discount(y) for y in range(1, years + 1))
        return coupons + self.face * self.discount(years)
