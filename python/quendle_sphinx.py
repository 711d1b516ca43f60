"""Sphinx extension: autodoc documents quendle's decorated methods as methods.

Add it after autodoc in a project's ``conf.py``::

    extensions = ["sphinx.ext.autodoc", "quendle_sphinx"]

Then ``.. autoclass:: pkg.Model`` with ``:members:`` lists every method
decorated with ``quendled(...)`` or ``automagically_quendled(...)`` as a
method, with the signature and the docstring of the function it wraps.

Why it is needed: a decorated method, looked up on its class, is the
decorator object itself, a *data* descriptor (it refuses assignment, so an
entry in an instance's ``__dict__`` can never hide the method). autodoc
documents data descriptors as attributes, so without this extension it shows
the docstring but no signature. The extension gives autodoc, in place of the
decorator, the function the decorator wraps (its ``__wrapped__``), which has
the same signature, docstring and qualified name.
"""

from __future__ import annotations

from typing import Any

from sphinx.util.inspect import safe_getattr

import quendle

__version__ = quendle.__version__

# QuendleDecorator is not a module attribute: it is the type of what a factory returns.
QuendleDecorator = type(quendle.quendled()(lambda self: None))


def getattr_unwrapping(obj: Any, name: str, *default: Any) -> Any:
    """getattr() for classes: a decorated method comes back as the function it wraps."""
    value = safe_getattr(obj, name, *default)
    return value.__wrapped__ if type(value) is QuendleDecorator else value


def setup(app: Any) -> dict[str, Any]:
    app.setup_extension("sphinx.ext.autodoc")
    # Attribute getters are chosen by the type of the object read from: every class
    # is an instance of `type`. Other values come back exactly as autodoc's own getter gives them.
    app.add_autodoc_attrgetter(type, getattr_unwrapping)
    return {"version": __version__, "parallel_read_safe": True, "parallel_write_safe": True}
