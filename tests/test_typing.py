"""The type stub is installed, matches the module, and constrains callers.

The checks type-check files under tests/typing with mypy and pyright, each in
its strict mode, against the stub installed beside the module (the wheel's,
or a build directory's when the module comes from PYTHONPATH and MYPYPATH).
"""

from __future__ import annotations

import importlib.util
import json
import os
import re
import subprocess
import sys
from collections.abc import Callable
from pathlib import Path

import pytest
from conftest import run_once

ROOT = Path(__file__).resolve().parent.parent
TYPING = ROOT / "tests" / "typing"
VERSION = f"{sys.version_info[0]}.{sys.version_info[1]}"

run_once("typing")
pytest.importorskip("mypy")

# Errors inside the stub are not what these checks look at (mypy is silent
# about an installed stub anyway, but not about one found through MYPYPATH).
MYPY_CONFIG = "[mypy]\n[mypy-quendle]\nignore_errors = True\n"


def module_dir() -> Path:
    spec = importlib.util.find_spec("quendle")
    assert spec is not None and spec.origin is not None
    return Path(spec.origin).parent


def mypy(*args: str, tmp_path: Path | None = None) -> subprocess.CompletedProcess[str]:
    config = []
    if tmp_path is not None:
        (tmp_path / "mypy.ini").write_text(MYPY_CONFIG)
        config = ["--config-file", str(tmp_path / "mypy.ini")]
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--no-incremental", "--python-version", VERSION, *config, *args],
        capture_output=True, text=True, timeout=300, cwd=ROOT / "tests",
    )


def mypy_strict(path: Path, tmp_path: Path) -> tuple[set[tuple[int, str]], str]:
    """(line, error code) of every error mypy --strict reports in `path`, and its output."""
    result = mypy("--strict", "--show-error-codes", str(path), tmp_path=tmp_path)
    assert result.returncode in (0, 1), result.stdout + result.stderr
    name = re.escape(path.name)
    errors = {(int(m.group(1)), m.group(2))
              for m in re.finditer(rf"{name}:(\d+): error: .*\[([\w-]+)\]$", result.stdout, re.M)}
    assert (result.returncode == 1) == bool(errors), result.stdout + result.stderr
    return errors, result.stdout


def pyright(path: Path, tmp_path: Path, mode: str) -> tuple[set[tuple[int, str]], str]:
    """(line, rule) of every error pyright reports in `path` in type-checking mode `mode`,
    and its output."""
    if importlib.util.find_spec("pyright") is None:
        pytest.skip("pyright is not installed (it is in the test dependency group)")
    config = tmp_path / "pyrightconfig.json"
    config.write_text(json.dumps({
        "typeCheckingMode": mode,
        "pythonVersion": VERSION,
        # The module's directory first, so a module taken from PYTHONPATH
        # brings its own stub, as an installed one does.
        "extraPaths": [str(module_dir())],
    }))
    env = {**os.environ, "PYRIGHT_PYTHON_IGNORE_WARNINGS": "1"}
    env.pop("PYRIGHT_PYTHON_FORCE_VERSION", None)
    result = subprocess.run(
        [sys.executable, "-m", "pyright", "--outputjson", "--project", str(config),
         "--pythonpath", sys.executable, str(path)],
        capture_output=True, text=True, timeout=600, cwd=tmp_path, env=env,
    )
    assert result.returncode in (0, 1), result.stdout + result.stderr
    report = json.loads(result.stdout)
    errors = {(d["range"]["start"]["line"] + 1, d.get("rule", "")) for d in report["generalDiagnostics"]
              if d["severity"] == "error" and Path(d["file"]).name == path.name}
    assert report["summary"]["filesAnalyzed"] == 1, result.stdout
    return errors, result.stdout


def pyright_strict(path: Path, tmp_path: Path) -> tuple[set[tuple[int, str]], str]:
    return pyright(path, tmp_path, "strict")


CHECKERS: dict[str, Callable[[Path, Path], tuple[set[tuple[int, str]], str]]] = {
    "mypy": mypy_strict, "pyright": pyright_strict,
}


def test_stub_is_installed_beside_the_module() -> None:
    assert (module_dir() / "quendle.pyi").is_file()


def test_stub_matches_the_module(tmp_path: Path) -> None:
    # QuendleDecorator and Scenario are no module attributes, so stubtest
    # cannot reach them through `quendle`; the module quendle_classes, made
    # here, holds the module's names, the two classes and the module attributes
    # outside `__all__`, with the installed stub as its own, so their members
    # are compared with the runtime too.
    (tmp_path / "quendle_classes.py").write_text(
        "import quendle\nfrom quendle import *\n__all__ = quendle.__all__\n"
        "QuendleDecorator = type(quendled()(lambda self: None))\n"
        "Scenario = type(custom_scenario([]))\n"
        "cross_instance_edges = quendle.cross_instance_edges\n"
        "explain = quendle.explain\n"
        "DependencyDefaultsWarning = quendle.DependencyDefaultsWarning\n"
        "cache_info, trace, CacheInfo, TraceEvent = quendle.cache_info, quendle.trace, quendle.CacheInfo, "
        "quendle.TraceEvent\nTrace = type(quendle.trace())\n"
    )
    (tmp_path / "quendle_classes.pyi").write_text((module_dir() / "quendle.pyi").read_text())
    path = os.pathsep.join(filter(None, [str(tmp_path), os.environ.get("PYTHONPATH")]))
    mypy_path = os.pathsep.join(filter(None, [str(tmp_path), os.environ.get("MYPYPATH")]))
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "quendle", "quendle_classes",
         "--allowlist", str(TYPING / "stubtest-allowlist.txt")],
        capture_output=True, text=True, timeout=300, cwd=ROOT / "tests",
        env={**os.environ, "PYTHONPATH": path, "MYPYPATH": mypy_path},
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_stub_is_consistent(tmp_path: Path) -> None:
    """The stub itself passes both checkers (overloads that cannot overlap, type variables
    used as declared), strictness aside: its dict types are bare."""
    # A copy, checked away from the installation (mypy would take a file in
    # site-packages for a root of sources that shadow installed modules).
    stub = tmp_path / "stub" / "quendle.pyi"
    stub.parent.mkdir()
    stub.write_text((module_dir() / "quendle.pyi").read_text())
    result = mypy("--warn-unused-ignores", str(stub))
    assert result.returncode == 0, result.stdout + result.stderr
    errors, output = pyright(stub, tmp_path, "standard")
    assert not errors, output


def test_typed_example_passes_strict(tmp_path: Path) -> None:
    result = mypy("--strict", str(ROOT / "examples" / "typed_model.py"), tmp_path=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("source", ["good_calls.py", "realistic_uses.py"])
@pytest.mark.parametrize("checker", CHECKERS)
def test_correct_calls_pass_strict(checker: str, source: str, tmp_path: Path) -> None:
    """Every assert_type in the file holds and nothing else is reported."""
    errors, output = CHECKERS[checker](TYPING / source, tmp_path)
    assert not errors, output


def expected_errors(source: Path, checker: str) -> dict[int, set[str]]:
    """line -> the codes `checker` must report there, from the marks "# E: code... reportRule...":
    the words starting with "report" are pyright's rules, the others mypy's error codes."""
    expected = {}
    for lineno, line in enumerate(source.read_text().splitlines(), start=1):
        if m := re.search(r"# E: (.+)$", line):
            words = set(m.group(1).split())
            rules = {w for w in words if w.startswith("report")}
            assert rules and words - rules, f"line {lineno}: a mark names mypy codes and pyright rules"
            expected[lineno] = rules if checker == "pyright" else words - rules
    return expected


@pytest.mark.parametrize("checker", CHECKERS)
def test_wrong_calls_are_reported(checker: str, tmp_path: Path) -> None:
    """Exactly the marked lines have errors, among them the codes the marks name."""
    source = TYPING / "wrong_calls.py"
    expected = expected_errors(source, checker)
    errors, output = CHECKERS[checker](source, tmp_path)
    assert {line for line, _ in errors} == set(expected), output
    for line, codes in expected.items():
        assert codes <= {code for ln, code in errors if ln == line}, (line, output)
