"""Write an instance's dependency graph as Graphviz DOT, coloured by state.

Uses only the public API: ``dependency_graph`` gives every node with its direct
dependants, ``validation_state`` the state of each entry. When Graphviz's
``dot`` is installed the picture is rendered to PNG as well.

    python examples/graph_dot.py [output-stem]
"""

from __future__ import annotations

import shutil
import subprocess
import sys
from pathlib import Path

import quendle

COLOURS = {
    "valid": "palegreen",
    "invalid": "gold",
    "permanently invalid": "lightcoral",
}
# A node that is only named by an edge (a declared dependency never called).
NO_ENTRY = ("no entry", "lightgrey")


def legend() -> list[tuple[str, str]]:
    """Each state with the colour its nodes are filled with."""
    return [*COLOURS.items(), NO_ENTRY]


def label_text(label: object) -> str:
    """A readable node name: ``total`` or ``price(n=3)``."""
    if isinstance(label, str):
        return label
    name, args = label  # type: ignore[misc]
    inner = ", ".join(f"{param}={value!r}" for param, value in args)
    return f"{name}({inner})"


def quoted(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def to_dot(obj: quendle.QuendleBase, title: str = "cache") -> str:
    graph = obj.dependency_graph
    states = obj.validation_state
    nodes = set(graph) | set(states)
    for dependants in graph.values():
        nodes |= dependants
    lines = [f"digraph {quoted(title)} {{", "  rankdir=LR;", "  node [shape=box, style=filled];"]
    for node in sorted(nodes, key=label_text):
        state = states.get(node, NO_ENTRY[0])
        colour = COLOURS.get(state, NO_ENTRY[1])
        lines.append(f"  {quoted(label_text(node))} [fillcolor={colour}, tooltip={quoted(state)}];")
    for node in sorted(graph, key=label_text):
        for dependant in sorted(graph[node], key=label_text):
            lines.append(f"  {quoted(label_text(node))} -> {quoted(label_text(dependant))};")
    lines += ["  subgraph cluster_legend {", '    label="state"; style=dashed;']
    for state, colour in legend():
        lines.append(f"    {quoted('legend: ' + state)} [label={quoted(state)}, fillcolor={colour}];")
    lines += ["  }", "}"]
    return "\n".join(lines) + "\n"


def write_picture(obj: quendle.QuendleBase, stem: Path, title: str = "cache") -> list[Path]:
    """Writes ``stem.dot`` and, when ``dot`` is available, ``stem.png``."""
    stem.parent.mkdir(parents=True, exist_ok=True)
    dot_path = stem.with_suffix(".dot")
    dot_path.write_text(to_dot(obj, title))
    written = [dot_path]
    dot = shutil.which("dot")
    if dot is not None:
        png_path = stem.with_suffix(".png")
        subprocess.run([dot, "-Tpng", str(dot_path), "-o", str(png_path)], check=True)
        written.append(png_path)
    return written


class _Example(quendle.QuendleBase):
    @quendle.quendled()
    def rate(self) -> float:
        return 0.05

    @quendle.quendled(dependencies=["rate"])
    def discount(self, years: int) -> float:
        return (1 + self.rate()) ** -years

    @quendle.quendled(track_runtime_dependencies=True)
    def value(self) -> float:
        return 100 * self.discount(1) + 100 * self.discount(2)


if __name__ == "__main__":
    example = _Example()
    example.value()
    example.update_cached_value("rate", 0.04)
    stem = Path(sys.argv[1]) if len(sys.argv) > 1 else Path("build/example-graph")
    for path in write_picture(example, stem, "example"):
        print(f"wrote {path}")
