"""The type stub is installed, matches the module, and constrains callers."""

from __future__ import annotations

import importlib.util
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent

pytest.importorskip("mypy")


def mypy(*args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--no-incremental", "--python-version",
         f"{sys.version_info[0]}.{sys.version_info[1]}", *args],
        capture_output=True, text=True, timeout=300, cwd=ROOT / "tests",
    )


def test_stub_is_installed_beside_the_module() -> None:
    spec = importlib.util.find_spec("quendle")
    assert spec is not None and spec.origin is not None
    assert (Path(spec.origin).parent / "quendle.pyi").is_file()


def test_stub_matches_the_module() -> None:
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "quendle",
         "--allowlist", str(ROOT / "tests" / "typing" / "stubtest-allowlist.txt")],
        capture_output=True, text=True, timeout=300, cwd=ROOT / "tests",
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_typed_example_passes_strict() -> None:
    result = mypy("--strict", str(ROOT / "examples" / "typed_model.py"))
    assert result.returncode == 0, result.stdout + result.stderr


def test_wrong_calls_are_reported() -> None:
    source = ROOT / "tests" / "typing" / "wrong_calls.py"
    expected = {
        lineno: code
        for lineno, line in enumerate(source.read_text().splitlines(), start=1)
        if (m := re.search(r"# E: ([\w-]+)", line)) for code in [m.group(1)]
    }
    result = mypy("--show-error-codes", str(source))
    assert result.returncode == 1, result.stdout
    reported = {
        int(m.group(1)): m.group(2)
        for m in re.finditer(r"wrong_calls\.py:(\d+): error: .*\[([\w-]+)\]", result.stdout)
    }
    assert reported == expected, result.stdout
