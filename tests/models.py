"""Model classes that several test files share."""

from collections import Counter

from quendle import QuendleBase, quendled


class Boom(Exception):
    """Raised by method bodies that fail on purpose."""


class Counted(QuendleBase):
    """Counts the runs of its method bodies: a body returns ``self.ran(name, value)``,
    so ``calls[name]`` says how often it ran.  ``rate`` is the usual leaf."""

    def __init__(self):
        self.calls = Counter()

    def ran(self, name, value):
        self.calls[name] += 1
        return value

    @quendled()
    def rate(self):
        return self.ran("rate", [0.05])


class Single(QuendleBase):
    """One decorated method without parameters."""

    @quendled()
    def total(self):
        return 3
