"""The layers of src/: a file includes headers of its own layer or of lower ones, never of a higher one.

A file's layer is its folder under src/ (the module file sits at src/ itself); includes name headers by
their path under src/.
"""

import re
import shutil
from pathlib import Path

import pytest

SRC = Path(__file__).resolve().parent.parent / "src"
# Lowest first.
LAYERS = ["base", "keys", "cache", "ops", "types", "module"]
INCLUDE = re.compile(r'^[ \t]*#[ \t]*include[ \t]*"([^"]+)"', re.M)


def layer_of(rel: Path) -> str:
    return "module" if len(rel.parts) == 1 else rel.parts[0]


def layout_errors(root: Path) -> list[str]:
    """Every include under `root` that names no header there or points to a higher layer."""
    errors = []
    for path in sorted(p for p in root.rglob("*") if p.suffix in (".h", ".cpp")):
        rel = path.relative_to(root)
        layer = layer_of(rel)
        if layer not in LAYERS:
            errors.append(f"{rel}: {rel.parent} is no layer ({', '.join(LAYERS[:-1])})")
            continue
        text = path.read_text()
        for match in INCLUDE.finditer(text):
            line = text.count("\n", 0, match.start()) + 1
            name = match.group(1)
            target = Path(name)
            if not (root / target).is_file():
                errors.append(f'{rel}:{line}: #include "{name}" names no file under src/')
            elif LAYERS.index(layer_of(target)) > LAYERS.index(layer):
                errors.append(f'{rel}:{line}: #include "{name}" points up, from {layer} to {layer_of(target)}')
    return errors


def test_includes_point_down():
    assert SRC.is_dir()
    assert {layer_of(p.relative_to(SRC)) for p in SRC.rglob("*.cpp")} == set(LAYERS)
    assert layout_errors(SRC) == []


@pytest.mark.parametrize("file, include, expected", [
    ("base/result.h", "cache/cache_state.h", "points up, from base to cache"),
    ("keys/native_binder.cpp", "ops/async_call.h", "points up, from keys to ops"),
    ("cache/cross_instance.h", "types/quendle_base.h", "points up, from cache to types"),
    ("ops/call_path.cpp", "types/decorator.h", "points up, from ops to types"),
    ("cache/cache_state.h", "runtime.h", "names no file under src/"),
    ("keys/key_set.h", "keys/key_store.h", None),  # the same layer
    ("types/decorator.cpp", "base/ref.h", None),  # a lower layer
    ("lib.cpp", "ops/scenario.h", None),  # the module file sits on top
])
def test_planted_include(tmp_path, file, include, expected):
    root = tmp_path / "src"
    shutil.copytree(SRC, root)
    target = root / file
    # After the first line, which is a comment or an include in every file.
    first, rest = target.read_text().split("\n", 1)
    target.write_text(f'{first}\n#include "{include}"\n{rest}')
    assert layout_errors(root) == ([] if expected is None else [f'{file}:2: #include "{include}" {expected}'])
