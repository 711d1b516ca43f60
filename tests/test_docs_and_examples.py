"""The README's code and every example run, so neither can drift from the module."""

from __future__ import annotations

import ast
import re
import runpy
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
# The scale-out sweeps (sweep_*.py) take no picture argument: tests/test_scale_out.py runs them; the
# tracing example (trace_*.py) needs an optional package: tests/test_observe.py runs it.
EXAMPLES = sorted(p for p in (ROOT / "examples").glob("*.py") if not p.name.startswith(("sweep_", "trace_")))


def readme_blocks() -> list[str]:
    text = (ROOT / "README.md").read_text()
    return re.findall(r"```python\n(.*?)```", text, flags=re.S)


def test_readme_code_runs(tmp_path: Path) -> None:
    blocks = readme_blocks()
    assert len(blocks) >= 5
    # Written to a real file so that source-reading decorators can see it.
    script = tmp_path / "readme_blocks.py"
    script.write_text("\n\n".join(blocks))
    runpy.run_path(str(script), run_name="__readme__")


@pytest.mark.parametrize("example", EXAMPLES, ids=[p.name for p in EXAMPLES])
def test_example_runs(example: Path, tmp_path: Path) -> None:
    result = subprocess.run(
        [sys.executable, str(example), str(tmp_path / "graph")],
        capture_output=True,
        text=True,
        timeout=120,
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "graph.dot").exists()


def label(key: object) -> str:
    if isinstance(key, str):
        return key
    name, args = key  # type: ignore[misc]
    return f"{name}(" + ", ".join(f"{p}={v!r}" for p, v in args) + ")"


def test_demo_tells_the_story(tmp_path: Path) -> None:
    out = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "demo.py"), str(tmp_path / "g")],
        capture_output=True, text=True, timeout=120, cwd=tmp_path, check=True,
    ).stdout
    assert "identical object: True, bodies run: 0" in out
    assert "discount(7) ran 1 body; discount(year=7) then ran 0" in out
    assert "restored: True" in out
    assert "colours: valid = palegreen, invalid = gold, permanently invalid = lightcoral" in out
    dot = (tmp_path / "g.dot").read_text()
    assert "digraph" in dot and "->" in dot and "cluster_legend" in dot
    # The picture shows the state the reports printed just before it: its
    # node colours agree with the printed validation_state.
    printed = out.split("validation_state: ", 1)[1].split("\n", 1)[0]
    states = ast.literal_eval(printed)
    nodes = {line.strip().split(" [", 1)[0]: line for line in dot.splitlines() if "[fillcolor=" in line}
    assert "invalid" in states.values()
    for key, state in states.items():
        assert f'tooltip="{state}"' in nodes[f'"{label(key)}"']


def test_demo_portfolio_follows_its_bonds(tmp_path: Path) -> None:
    out = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "demo.py"), str(tmp_path / "g")],
        capture_output=True, text=True, timeout=120, cwd=tmp_path, check=True,
    ).stdout
    part = out.split("== A portfolio of three bonds", 1)[1]
    assert "portfolio depends on: ['bond1.price', 'bond2.price', 'bond3.price']" in part
    invalid = ast.literal_eval(part.split("invalid after bond2's rate update: ", 1)[1].split(" portfolio: ", 1)[0])
    assert invalid["bond1"] == invalid["bond3"] == []
    assert sorted(map(str, invalid["bond2"])) == sorted(
        map(str, ["price", *(("discount", (("year", y),)) for y in (1, 2, 3))]))
    assert "portfolio: invalid\n" in part
    # Exactly bond2's dependants and the portfolio ran again.
    assert "[discount=3, price=1, value=1]" in part
    assert "changed inside: True, after equals before: True" in part
    assert "edges: solid = dependant, same instance, dashed = dependant, other instance" in part
    dot = (tmp_path / "g-portfolio.dot").read_text()
    assert dot.count("subgraph cluster_") == 5  # four instances and the legend
    for i in (1, 2, 3):
        assert f'"bond{i}.price" -> "portfolio.value" [style=dashed];' in dot
    # The legend explains both edge styles; the one-instance picture has only solid edges.
    legend = dot.split("subgraph cluster_legend", 1)[1]
    assert "[style=solid];" in legend and "[style=dashed];" in legend
    first = (tmp_path / "g.dot").read_text().split("subgraph cluster_legend", 1)[1]
    assert "[style=solid];" in first and "dashed" not in first


def rendered_top_down(text: str) -> list[str]:
    """Node names of a DOT text from the top of dot's layout down."""
    out = subprocess.run(["dot", "-Tplain"], input=text, capture_output=True, text=True, timeout=120,
                         check=True).stdout
    ys = {m.group(1): float(m.group(2)) for m in re.finditer(r'^node "([^"]+)" \S+ (\S+)', out, flags=re.M)}
    return sorted(ys, key=lambda name: -ys[name])


@pytest.mark.skipif(shutil.which("dot") is None, reason="needs Graphviz's dot")
@pytest.mark.parametrize("names", [["bond1", "bond2", "bond3"], ["e", "b", "d", "a", "c"], ["zeta", "alpha"]])
def test_pictures_lay_out_instances_and_entries_in_model_order(names: list[str]) -> None:
    sys.path.insert(0, str(ROOT / "examples"))
    try:
        import demo
        import graph_dot
    finally:
        sys.path.remove(str(ROOT / "examples"))
    bonds = [demo.Bond(100.0, 0.01 * (i + 1), i + 2) for i in range(len(names))]
    book = demo.Portfolio(bonds)
    book.value()
    named = dict(zip(names, bonds)) | {"book": book}
    assert graph_dot.cross_dependencies(book, "value", named) == [f"{name}.price" for name in names]
    # The bonds from the top in the order given; each bond's discounts by year.
    many = rendered_top_down(graph_dot.to_dot_many(named))
    assert [n for n in many if n.endswith(".price")] == [f"{name}.price" for name in names]
    last = names[-1]
    years = [f"{last}.discount(year={y})" for y in range(1, len(names) + 2)]
    assert [n for n in many if n.startswith(f"{last}.discount")] == years
    one = rendered_top_down(graph_dot.to_dot(bonds[-1]))
    assert [n for n in one if n.startswith("discount")] == [y.split(".", 1)[1] for y in years]
