import sys

# Exception notes (``add_note``/``__notes__``) exist from Python 3.11 on.
HAS_NOTES = sys.version_info >= (3, 11)


def notes(exc):
    """The notes attached to an exception (empty when it has none)."""
    return list(getattr(exc, "__notes__", ()))


def argument_notes(name):
    """The notes a failed conversion of parameter ``name`` carries here."""
    return [f"while processing '{name}'"] if HAS_NOTES else []
