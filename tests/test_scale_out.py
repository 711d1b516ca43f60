"""The scale-out examples: the what-if sweep on a process pool and on a Dask
cluster, each checked by the example itself against the serial run."""

from __future__ import annotations

import importlib.util
import subprocess
import sys
from pathlib import Path

import pytest
from conftest import once

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def run_example(name: str, tmp_path: Path) -> str:
    result = subprocess.run([sys.executable, str(EXAMPLES / name)], capture_output=True, text=True,
                            timeout=600, cwd=tmp_path, stdin=subprocess.DEVNULL)
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


@pytest.mark.parametrize("name, label", [
    ("sweep_processes.py", "process pool"),
    pytest.param("sweep_dask.py", "dask cluster", marks=[once("dask"), pytest.mark.skipif(
        importlib.util.find_spec("distributed") is None, reason="dask distributed is not installed")]),
])
def test_sweep_matches_the_serial_run(name: str, label: str, tmp_path: Path) -> None:
    out = run_example(name, tmp_path)
    # The warm book arrived with its cache: a scenario recomputed only what its shifts invalidate.
    assert f"{label}: 20 scenarios match the serial run" in out
    assert "each scenario ran {'discount': 48, 'duration': 6, 'price': 6}" in out


def test_a_mismatch_fails_the_example(tmp_path: Path) -> None:
    sys.path.insert(0, str(EXAMPLES))
    try:
        import sweep_model
    finally:
        sys.path.remove(str(EXAMPLES))
    book = sweep_model.make_book()
    expected = sweep_model.serial_sweep(book)
    wrong = [dict(r) for r in expected]
    wrong[3]["value"] += 1e-6
    assert sweep_model.compare("check", expected, expected) == 0
    assert sweep_model.compare("check", expected, wrong) == 1
    assert sweep_model.compare("check", expected, expected[:-1]) == 1
