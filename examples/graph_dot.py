"""Write an instance's dependency graph as Graphviz DOT, coloured by state.

Uses only the public API: ``dependency_graph`` gives every node with its direct
dependants, ``validation_state`` the state of each entry. When Graphviz's
``dot`` is installed the picture is rendered to PNG as well. ``to_dot_many``
draws several instances, one cluster each, with the edges between them that
``quendle.cross_instance_edges`` reports (dashed).

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
    nodes, edges = node_lines(obj.dependency_graph, obj.validation_state)
    lines = [f"digraph {quoted(title)} {{", "  rankdir=LR;", "  node [shape=box, style=filled];"]
    return "\n".join(lines + nodes + edges + legend_lines()) + "\n"


def node_lines(graph: dict, states: dict, prefix: str = "", indent: str = "  ") -> tuple[list[str], list[str]]:
    """The node lines and the edge lines of one instance's graph."""
    nodes = set(graph) | set(states)
    for dependants in graph.values():
        nodes |= dependants
    lines = []
    for node in sorted(nodes, key=label_text):
        state = states.get(node, NO_ENTRY[0])
        colour = COLOURS.get(state, NO_ENTRY[1])
        attrs = f"fillcolor={colour}, tooltip={quoted(state)}"
        if prefix:
            attrs = f"label={quoted(label_text(node))}, " + attrs
        lines.append(f"{indent}{quoted(prefix + label_text(node))} [{attrs}];")
    edges = [
        f"  {quoted(prefix + label_text(node))} -> {quoted(prefix + label_text(dependant))};"
        for node in sorted(graph, key=label_text)
        for dependant in sorted(graph[node], key=label_text)
    ]
    return lines, edges


def to_dot_many(instances: dict[str, quendle.QuendleBase], title: str = "instances") -> str:
    """Several instances, one cluster each (named by the keys), and the
    cross-instance edges between those among them."""
    names = {id(obj): name for name, obj in instances.items()}
    lines = [f"digraph {quoted(title)} {{", "  rankdir=LR; compound=true;", "  node [shape=box, style=filled];"]
    edges: list[str] = []
    for i, (name, obj) in enumerate(instances.items()):
        nodes, inner = node_lines(obj.dependency_graph, obj.validation_state, f"{name}.", "    ")
        lines += [f"  subgraph cluster_{i} {{", f"    label={quoted(name)};", *nodes, "  }"]
        edges += inner
        for label, ends in sorted(quendle.cross_instance_edges(obj).items(), key=lambda kv: label_text(kv[0])):
            for other, dependant in ends["dependants"]:
                if id(other) in names:
                    edges.append(f"  {quoted(name + '.' + label_text(label))} -> "
                                 f"{quoted(names[id(other)] + '.' + label_text(dependant))} [style=dashed];")
    lines += sorted(edges)
    lines += legend_lines()
    return "\n".join(lines) + "\n"


def legend_lines() -> list[str]:
    lines = ["  subgraph cluster_legend {", '    label="state"; style=dashed;']
    for state, colour in legend():
        lines.append(f"    {quoted('legend: ' + state)} [label={quoted(state)}, fillcolor={colour}];")
    return lines + ["  }", "}"]


def render(text: str, stem: Path) -> list[Path]:
    """Writes ``stem.dot`` and, when ``dot`` is available, ``stem.png``."""
    stem.parent.mkdir(parents=True, exist_ok=True)
    dot_path = stem.with_suffix(".dot")
    dot_path.write_text(text)
    written = [dot_path]
    dot = shutil.which("dot")
    if dot is not None:
        png_path = stem.with_suffix(".png")
        subprocess.run([dot, "-Tpng", str(dot_path), "-o", str(png_path)], check=True)
        written.append(png_path)
    return written


def write_picture(obj: quendle.QuendleBase, stem: Path, title: str = "cache") -> list[Path]:
    """One instance's picture: ``stem.dot`` and, with ``dot``, ``stem.png``."""
    return render(to_dot(obj, title), stem)


def write_many_picture(instances: dict[str, quendle.QuendleBase], stem: Path, title: str = "instances") -> list[Path]:
    """Several instances' picture (``to_dot_many``), written as ``write_picture`` does."""
    return render(to_dot_many(instances, title), stem)


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
