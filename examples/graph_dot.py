"""Write an instance's dependency graph as Graphviz DOT, coloured by state.

Uses only the public API: ``dependency_graph`` gives every node with its direct
dependants, ``validation_state`` the state of each entry. When Graphviz's
``dot`` is installed the picture is rendered to PNG as well. ``to_dot_many``
draws several instances, one cluster each, with the edges between them that
``quendle.cross_instance_edges`` reports (dashed). Entries and instances are
laid out in the order the model has them: entries in the order the instance
first saw them, instances in the order given.

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
# What each edge style means: an arrow points from an entry to its dependant.
EDGES = {"solid": "dependant, same instance", "dashed": "dependant, other instance"}


def legend() -> list[tuple[str, str]]:
    """Each state with the colour its nodes are filled with."""
    return [*COLOURS.items(), NO_ENTRY]


def edge_legend(across_instances: bool = True) -> list[tuple[str, str]]:
    """Each edge style with what it means (the dashed one where instances are drawn together)."""
    return [(style, meaning) for style, meaning in EDGES.items() if across_instances or style == "solid"]


def label_text(label: object) -> str:
    """A readable node name: ``total`` or ``price(n=3)``."""
    if isinstance(label, str):
        return label
    name, args = label  # type: ignore[misc]
    inner = ", ".join(f"{param}={value!r}" for param, value in args)
    return f"{name}({inner})"


def quoted(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def cross_dependencies(obj: quendle.QuendleBase, label: object, names: dict[str, quendle.QuendleBase]) -> list[str]:
    """The entries of other instances that ``label`` of ``obj`` was computed
    from, as ``instance.entry``, named by ``names`` and in its order (an
    instance missing from ``names`` is ``?``)."""
    position = {id(other): i for i, other in enumerate(names.values())}
    name_of = {id(other): name for name, other in names.items()}
    found = quendle.cross_instance_edges(obj).get(label, {}).get("dependencies", [])
    ordered = sorted(found, key=lambda end: (position.get(id(end[0]), len(position)), label_text(end[1])))
    return [f"{name_of.get(id(other), '?')}.{label_text(entry)}" for other, entry in ordered]


def to_dot(obj: quendle.QuendleBase, title: str = "cache") -> str:
    nodes, edges = node_lines(obj.dependency_graph, obj.validation_state)
    # ordering=out: dot stacks the heads of a node's edges from the top in
    # the order the edges are given.
    lines = [f"digraph {quoted(title)} {{", "  rankdir=LR; ordering=out;", "  node [shape=box, style=filled];"]
    return "\n".join(lines + nodes + edges + legend_lines(across_instances=False)) + "\n"


def model_order(graph: dict, states: dict) -> list:
    """Every node, in the order the instance first saw it; nodes only named
    by edges follow in the order the graph names them."""
    order = dict.fromkeys(states)
    for node, dependants in graph.items():
        order.setdefault(node)
        for dependant in sorted(dependants, key=label_text):
            order.setdefault(dependant)
    return list(order)


def node_lines(graph: dict, states: dict, prefix: str = "", indent: str = "  ",
               reverse: bool = False) -> tuple[list[str], list[str]]:
    """The node lines and the edge lines of one instance's graph, in model
    order; with ``reverse``, each node's edges to its dependants in reverse."""
    order = model_order(graph, states)
    rank = {node: i for i, node in enumerate(order)}
    lines = []
    for node in order:
        state = states.get(node, NO_ENTRY[0])
        colour = COLOURS.get(state, NO_ENTRY[1])
        attrs = f"fillcolor={colour}, tooltip={quoted(state)}"
        if prefix:
            attrs = f"label={quoted(label_text(node))}, " + attrs
        lines.append(f"{indent}{quoted(prefix + label_text(node))} [{attrs}];")
    edges = [
        f"  {quoted(prefix + label_text(node))} -> {quoted(prefix + label_text(dependant))};"
        for node in order
        for dependant in sorted(graph.get(node, ()), key=rank.__getitem__, reverse=reverse)
    ]
    return lines, edges


def to_dot_many(instances: dict[str, quendle.QuendleBase], title: str = "instances") -> str:
    """Several instances, one cluster each (named by the keys), and the
    cross-instance edges between those among them. The instances that depend
    on none of the others are stacked from the top in the order given."""
    names = {id(obj): name for name, obj in instances.items()}
    position = {id(obj): i for i, obj in enumerate(instances.values())}
    lines = [f"digraph {quoted(title)} {{", "  rankdir=LR; ordering=out; newrank=true;",
             "  node [shape=box, style=filled];"]
    edges: list[str] = []
    anchors: list[str] = []
    for i, (name, obj) in enumerate(instances.items()):
        # Inside a cluster dot stacks the heads of a node's edges from the
        # bottom up in the order given: reversed, they read from the top.
        nodes, inner = node_lines(obj.dependency_graph, obj.validation_state, f"{name}.", "    ", reverse=True)
        cross = quendle.cross_instance_edges(obj)
        # An invisible node in the first column of each such cluster; the
        # anchors share a rank, chained in order, which fixes the clusters' order.
        if not any(id(other) in names for ends in cross.values() for other, _ in ends["dependencies"]):
            anchors.append(quoted(f"order: {name}"))
            nodes.insert(0, f"    {anchors[-1]} [style=invis, shape=point, width=0, label=\"\"];")
        lines += [f"  subgraph cluster_{i} {{", f"    label={quoted(name)};", *nodes, "  }"]
        edges += inner
        order = model_order(obj.dependency_graph, obj.validation_state)
        for label in order + [label for label in cross if label not in order]:
            dependants = [end for end in cross.get(label, {}).get("dependants", []) if id(end[0]) in names]
            for other, dependant in sorted(dependants, key=lambda end: position[id(end[0])]):
                edges.append(f"  {quoted(name + '.' + label_text(label))} -> "
                             f"{quoted(names[id(other)] + '.' + label_text(dependant))} [style=dashed];")
    lines += edges
    if len(anchors) > 1:
        lines += ["  {rank=same; " + "; ".join(anchors) + ";}", "  " + " -> ".join(anchors) + " [style=invis];"]
    lines += legend_lines()
    return "\n".join(lines) + "\n"


def legend_lines(across_instances: bool = True) -> list[str]:
    """The legend: the fill colour of each state, and the meaning of each edge style."""
    lines = ["  subgraph cluster_legend {", '    label="legend"; style=rounded;']
    for state, colour in legend():
        lines.append(f"    {quoted('legend: ' + state)} [label={quoted(state)}, fillcolor={colour}];")
    # An arrow of each style pointing at its meaning (an edge label would
    # double the distance between all columns of the picture).
    for style, meaning in edge_legend(across_instances):
        tail, head = quoted(f"legend: {style} edge"), quoted(f"legend: {style}")
        lines += [f"    {tail} [shape=point, width=0.05];",
                  f"    {head} [shape=plaintext, style=solid, label={quoted(meaning)}];",
                  f"    {tail} -> {head} [style={style}];"]
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
