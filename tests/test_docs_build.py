"""A real Sphinx build of a small project that documents a QuendleBase subclass with
autodoc: with the quendle_sphinx extension, ``:members:`` lists each decorated method
as a method, with its signature and docstring; without it autodoc shows the
decorator as an attribute (docstring, no signature)."""

from __future__ import annotations

import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
from conftest import run_once

run_once("sphinx")
sphinx = pytest.importorskip("sphinx")

MODULE = '''
"""Pricing models."""

from quendle import QuendleBase, automagically_quendled, quendled


class Model(QuendleBase):
    """A priced model."""

    @quendled()
    def rate(self) -> float:
        """The interest rate."""
        return 0.05

    @automagically_quendled()
    def growth(self) -> float:
        """One year's growth factor."""
        return 1 + self.rate()

    @quendled(dependencies=["growth"], track_runtime_dependencies=True)
    def price(self, n: int, scale: float = 1.0, *, currency: str = "EUR") -> float:
        """Price of n units.

        Computed from :meth:`growth`.
        """
        return n * scale * self.growth()

    @quendled(use_cache=False)
    def undocumented(self, x):
        return x

    def plain(self, x):
        """A plain method."""
        return x

    @property
    def label(self) -> str:
        """A property."""
        return "model"
'''

# (name, signature as Sphinx's text builder writes it, first docstring line or None)
METHODS = [
    ("rate", "rate() -> float", "The interest rate."),
    ("growth", "growth() -> float", "One year's growth factor."),
    ("price", "price(n: int, scale: float = 1.0, *, currency: str = 'EUR') -> float", "Price of n units."),
    ("undocumented", "undocumented(x)", None),
    ("plain", "plain(x)", "A plain method."),
]


def build(tmp_path: Path, extensions: list[str], *conf_lines: str) -> str:
    src, out = tmp_path / "src", tmp_path / "out"
    (src / "pkg").mkdir(parents=True)
    (src / "pkg" / "mod.py").write_text(MODULE)
    conf = [
        "import os, sys",
        "sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), 'pkg'))",
        f"extensions = {extensions!r}",
        "project = 'demo'",
        *conf_lines,
    ]
    (src / "conf.py").write_text("\n".join(conf) + "\n")
    (src / "index.rst").write_text("Models\n======\n\n.. autoclass:: mod.Model\n   :members:\n   :undoc-members:\n")
    result = subprocess.run(
        [sys.executable, "-m", "sphinx", "-b", "text", "-W", "--keep-going", "-E", "-q", str(src), str(out)],
        capture_output=True, text=True, timeout=300, stdin=subprocess.DEVNULL, cwd=tmp_path,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    return (out / "index.txt").read_text()


def members(text: str) -> dict[str, tuple[str, list[str]]]:
    """name -> (the member's heading line, its body lines) from the text output."""
    found: dict[str, tuple[str, list[str]]] = {}
    lines = text.splitlines()
    for i, line in enumerate(lines):
        if line.startswith("   ") and not line.startswith("    ") and line.strip():
            heading = line.strip()
            name = heading.split("(")[0].split(":")[0].split()[-1]
            body = []
            for follow in lines[i + 1:]:
                if follow.strip() and not follow.startswith("      "):
                    break
                if follow.strip():
                    body.append(follow.strip())
            found[name] = (heading, body)
    return found


LEGACY = [()] + ([("autodoc_use_legacy_class_based = True",)]
                 if int(sphinx.__version__.split(".")[0]) >= 9 else [])


@pytest.mark.parametrize("conf", LEGACY, ids=["autodoc", "legacy-autodoc"][:len(LEGACY)])
def test_decorated_methods_are_documented_as_methods(tmp_path: Path, conf: tuple[str, ...]) -> None:
    text = build(tmp_path, ["sphinx.ext.autodoc", "quendle_sphinx"], *conf)
    found = members(text)
    for name, signature, doc in METHODS:
        assert name in found, text
        heading, body = found[name]
        assert heading == signature, text
        assert (body[:1] == [doc]) if doc else body == [], text
    # The body goes on past the first line, and the cross-reference is rendered.
    assert found["price"][1] == ["Price of n units.", "Computed from \"growth()\"."], text
    # A property stays a property; no member is listed twice.
    assert found["label"][0].startswith("property label"), text
    assert text.count("price(") == 1, text


def test_stock_autodoc_shows_decorated_methods_as_attributes(tmp_path: Path) -> None:
    """What the extension is for: without it, the signature is lost."""
    found = members(build(tmp_path, ["sphinx.ext.autodoc"]))
    assert found["price"] == ("price", ["Price of n units.", "Computed from \"growth()\"."])
    assert found["plain"][0] == "plain(x)"


DOCS = Path(__file__).resolve().parent.parent / "docs"


@pytest.mark.skipif(not (DOCS / "conf.py").is_file(), reason="needs the project's docs/")
def test_reference_documents_every_public_name(tmp_path: Path) -> None:
    """The project's own documentation builds without a warning (references checked)
    and its reference has an entry for every public name, method and property."""
    import quendle
    from sphinx.util.inventory import InventoryFile

    result = subprocess.run(
        [sys.executable, "-m", "sphinx", "-b", "html", "-W", "--keep-going", "-n", "-E", "-q",
         str(DOCS), str(tmp_path / "html")],
        capture_output=True, text=True, timeout=300, stdin=subprocess.DEVNULL, cwd=tmp_path,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    with open(tmp_path / "html" / "objects.inv", "rb") as f:
        inventory = InventoryFile.load(f, "", lambda base, uri: uri)
    documented = {name for entries in inventory.values() for name in entries}
    expected = {f"quendle.{name}" for name in quendle.__all__} | {
        "quendle.__version__", "quendle.explain", "quendle.cache_info", "quendle.trace", "quendle.CacheInfo",
        "quendle.TraceEvent", "quendle.QuendleDecorator", "quendle.QuendleDecorator.__call__",
        "quendle.Scenario", "quendle.Scenario.__enter__", "quendle.Scenario.__exit__",
        "quendle.quendled.__call__", "quendle.automagically_quendled.__call__",
    } | {f"quendle.QuendleBase.{name}" for name in vars(quendle.QuendleBase) if not name.startswith("_")}
    assert expected - documented == set()
