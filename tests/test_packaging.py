"""What the distribution says about itself: the version (one source, pyproject.toml,
through CMake into the module), the installed metadata and the files a wheel ships."""

from __future__ import annotations

import importlib.metadata
import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import quendle

ROOT = Path(__file__).resolve().parent.parent
PYPROJECT = ROOT / "pyproject.toml"

if sys.version_info >= (3, 11):
    import tomllib
else:  # pragma: no cover - 3.10 has no TOML reader; the [project] table is simple enough
    tomllib = None


def project_table() -> dict:
    text = PYPROJECT.read_text()
    if tomllib is not None:
        return tomllib.loads(text)["project"]
    m = re.search(r'^\[project\]\n(?:.*\n)*?version = "([^"]+)"', text, re.M)
    assert m, "no version in the [project] table"
    return {"version": m.group(1)}


def installed_distribution() -> importlib.metadata.Distribution | None:
    """The distribution the imported module was installed from, or None for a build
    directory on PYTHONPATH (whose module no installed metadata lists)."""
    try:
        dist = importlib.metadata.distribution("quendle")
    except importlib.metadata.PackageNotFoundError:
        return None
    here = os.path.realpath(quendle.__file__)
    if not any(os.path.realpath(dist.locate_file(f)) == here for f in dist.files or ()):
        return None
    return dist


needs_install = pytest.mark.skipif(installed_distribution() is None,
                                   reason="quendle is imported from a build directory, not an installed wheel")


def test_version_is_the_projects() -> None:
    assert type(quendle.__version__) is str
    assert quendle.__version__ == project_table()["version"]
    assert "__version__" not in quendle.__all__


@needs_install
def test_installed_version_is_the_metadatas() -> None:
    assert quendle.__version__ == importlib.metadata.version("quendle") == installed_distribution().version


@needs_install
def test_installed_metadata_is_the_projects() -> None:
    if tomllib is None:
        pytest.skip("reading pyproject.toml's tables needs tomllib (3.11+)")
    project, meta = project_table(), installed_distribution().metadata
    assert meta["Requires-Python"] == project["requires-python"]
    assert sorted(meta.get_all("Classifier")) == sorted(project["classifiers"])
    assert "License :: OSI Approved :: MIT License" in meta.get_all("Classifier")
    assert dict(entry.split(", ", 1) for entry in meta.get_all("Project-URL")) == project["urls"]
    assert meta["Keywords"].split(",") == project["keywords"]


@needs_install
def test_wheel_ships_the_licence_stubs_and_sphinx_extension() -> None:
    files = installed_distribution().files
    shipped = {f.as_posix() for f in files}
    licence = [f for f in files if f.name == "LICENSE"]
    assert len(licence) == 1, sorted(shipped)
    assert licence[0].read_text() == (ROOT / "LICENSE").read_text()
    assert {"quendle.pyi", "quendle-stubs/__init__.pyi", "quendle_sphinx.py"} <= shipped


# --- the plain CMake build reads the version itself ----------------------------

def configure(tmp_path: Path, pyproject: str, *defines: str) -> subprocess.CompletedProcess[str]:
    """Configure a copy of the project whose pyproject.toml is `pyproject`."""
    src = tmp_path / "src-tree"
    src.mkdir()
    for name in ("CMakeLists.txt", "quendle.pyi"):
        shutil.copy(ROOT / name, src / name)
    for folder in ("src", "python"):
        (src / folder).symlink_to(ROOT / folder)
    (src / "pyproject.toml").write_text(pyproject)
    generator = ["-G", "Ninja"] if shutil.which("ninja") else []
    return subprocess.run(
        ["cmake", "-S", str(src), "-B", str(tmp_path / "build"), *generator,
         f"-DPython_EXECUTABLE={sys.executable}", *defines],
        capture_output=True, text=True, timeout=300, stdin=subprocess.DEVNULL,
    )


def compiled_version(tmp_path: Path) -> str:
    commands = json.loads((tmp_path / "build" / "compile_commands.json").read_text())
    (lib,) = [c["command"] for c in commands if c["file"].endswith("lib.cpp")]
    m = re.search(r'-DQUENDLE_VERSION=\\"([^"\\]*)\\"', lib)
    assert m, lib
    return m.group(1)


@pytest.mark.skipif(shutil.which("cmake") is None, reason="cmake is not installed")
@pytest.mark.skipif(not (ROOT / "CMakeLists.txt").is_file(), reason="needs the project's sources")
@pytest.mark.parametrize(("pyproject", "defines", "expected"), [
    # A plain build takes the [project] version, not another table's version-like keys.
    ('[build-system]\nrequires = []\n\n[project]\nname = "quendle"\nversion = "9.8.7.dev3"\n'
     '\n[tool.scikit-build]\nminimum-version = "0.10"\ncmake.version = ">=3.26"\n', (), "9.8.7.dev3"),
    # A wheel build: scikit-build-core's full version wins over the file.
    ('[project]\nname = "quendle"\nversion = "1.0"\n', ("-DSKBUILD_PROJECT_VERSION_FULL=2.0.0rc1",
                                                       "-DSKBUILD_PROJECT_VERSION=2.0.0"), "2.0.0rc1"),
    # Older scikit-build-core releases pass the short form only.
    ('[project]\nname = "quendle"\nversion = "1.0"\n', ("-DSKBUILD_PROJECT_VERSION=3.1",), "3.1"),
    ('[project]\nname = "quendle"\ndynamic = ["version"]\n', (), None),
], ids=["pyproject", "skbuild-full", "skbuild-short", "no-version"])
def test_cmake_version_source(tmp_path: Path, pyproject: str, defines: tuple[str, ...], expected: str | None) -> None:
    result = configure(tmp_path, pyproject, *defines)
    if expected is None:
        assert result.returncode != 0
        assert 'no version = "..." line in' in result.stderr
        return
    assert result.returncode == 0, result.stderr
    assert f"-- quendle version {expected}\n" in result.stdout
    assert compiled_version(tmp_path) == expected
