"""What the distribution says about itself: the version (one source, pyproject.toml,
through CMake into the module), the installed metadata, the files a wheel ships, and
which of the two stable-ABI builds (cp310-abi3, cp312-abi3) an interpreter gets, and that a
free-threaded interpreter gets a build for its own version (cp313t)."""

from __future__ import annotations

import importlib.metadata
import json
import os
import re
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest
from conftest import once

import quendle

ROOT = Path(__file__).resolve().parent.parent
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
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


# --- two stable-ABI builds ------------------------------------------------------

@pytest.mark.skipif(tomllib is None, reason="reading pyproject.toml's tables needs tomllib (3.11+)")
@pytest.mark.parametrize(("python", "tag"), [("3.10", "cp310"), ("3.11", "cp310"), ("3.12", "cp312"),
                                             ("3.13", "cp312"), ("3.14", "cp312"),
                                             ("3.13t", ""), ("3.14t", "")])  # "": the interpreter's own tag
def test_pyproject_picks_the_build_for_the_interpreter(python: str, tag: str) -> None:
    from packaging.specifiers import SpecifierSet  # pytest's own dependency

    settings = tomllib.loads(PYPROJECT.read_text())["tool"]["scikit-build"]
    py_api, sabi = settings["wheel"]["py-api"], settings.get("cmake", {}).get("define", {}).get("QUENDLE_SABI")
    version, abi_flags = python.rstrip("t"), python[len(python.rstrip("t")):]
    for override in settings.get("overrides", ()):
        condition = override["if"]
        if version in SpecifierSet(condition.get("python-version", ">=0")) and \
                re.fullmatch(condition.get("abi-flags", ".*"), abi_flags):
            py_api = override.get("wheel", {}).get("py-api", py_api)
            sabi = override.get("cmake", {}).get("define", {}).get("QUENDLE_SABI", sabi)
    assert py_api == tag
    # A build CMakeLists.txt picks for itself (None) or the one the tag names
    # (a free-threaded build has none: CMakeLists.txt ignores it there).
    assert sabi in (None, f"3.{tag[3:]}") or not tag


@needs_install
@pytest.mark.skipif(FREE_THREADED, reason="a free-threaded interpreter has no stable ABI")
def test_installed_wheel_is_a_stable_abi_build_for_this_interpreter() -> None:
    tags = re.findall(r"^Tag: (\S+)-\S+$", installed_distribution().read_text("WHEEL") or "", re.M)
    ((python, abi),) = {tuple(tag.split("-")) for tag in tags}  # one per manylinux tag
    assert (abi, Path(quendle.__file__).name) == ("abi3", "quendle.abi3.so")
    assert python in ("cp310", "cp312") and sys.version_info >= (3, int(python[3:]))
    # The test sessions of noxfile.py say which of the two they installed.
    assert python == os.environ.get("QUENDLE_WHEEL_TAG", python)


@needs_install
@pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded interpreter")
def test_installed_wheel_is_the_free_threaded_build_for_this_interpreter() -> None:
    tags = re.findall(r"^Tag: (\S+)-\S+$", installed_distribution().read_text("WHEEL") or "", re.M)
    version = f"cp{sys.version_info[0]}{sys.version_info[1]}"
    assert {tuple(tag.split("-")) for tag in tags} == {(version, version + "t")}
    assert Path(quendle.__file__).name == f"quendle{sysconfig.get_config_var('EXT_SUFFIX')}"
    assert python_tag_env() in (None, version + "t")


def python_tag_env() -> str | None:
    return os.environ.get("QUENDLE_WHEEL_TAG")


def test_vectorcall_where_the_api_has_it() -> None:
    """The decorated method is called through vectorcall in every build whose API has it in
    full: the 3.12 stable ABI and a 3.12+ interpreter's own API (the free-threaded build)."""
    class C(quendle.QuendleBase):
        @quendle.quendled()
        def f(self):
            return 1

    own_api = not Path(quendle.__file__).name.endswith(".abi3.so")
    flag = 1 << 11  # Py_TPFLAGS_HAVE_VECTORCALL
    has_vectorcall = bool(type(C.__dict__["f"]).__flags__ & flag)
    if own_api:
        assert has_vectorcall == (sys.version_info >= (3, 12))
    elif python_tag_env() in ("cp310", "cp312"):
        assert has_vectorcall == (python_tag_env() == "cp312")


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


def lib_command(tmp_path: Path) -> str:
    commands = json.loads((tmp_path / "build" / "compile_commands.json").read_text())
    (lib,) = [c["command"] for c in commands if c["file"].endswith("lib.cpp")]
    return lib


def compiled_version(tmp_path: Path) -> str:
    lib = lib_command(tmp_path)
    m = re.search(r'-DQUENDLE_VERSION=\\"([^"\\]*)\\"', lib)
    assert m, lib
    return m.group(1)


@once("cmake")
@pytest.mark.slow
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


ON_312 = sys.version_info >= (3, 12)
NEEDS_312 = "needs the headers of CPython 3.12 or later"
def needs_cmake(test):
    """Skipped without cmake or the sources, and where another nox session runs the CMake checks."""
    test = pytest.mark.skipif(shutil.which("cmake") is None or not (ROOT / "CMakeLists.txt").is_file(),
                              reason="needs cmake and the project's sources")(test)
    return once("cmake")(pytest.mark.slow(test))


def expect_sabi(result: subprocess.CompletedProcess[str], tmp_path: Path, expected: str) -> None:
    """The configure chose stable ABI `expected` (3.X), or failed saying `expected`."""
    if not re.fullmatch(r"3\.\d+", expected):
        assert result.returncode != 0
        assert expected in " ".join(result.stderr.split())
        return
    assert result.returncode == 0, result.stderr
    assert f"-- quendle stable ABI {expected}\n" in result.stdout
    assert f"-DPy_LIMITED_API=0x03{int(expected[2:]):02x}0000 " in lib_command(tmp_path)


@needs_cmake
@pytest.mark.parametrize(("defines", "expected"), [
    ((), "3.10"),
    (("-DSKBUILD_SABI_VERSION=",), "3.10"),  # scikit-build-core's word for "not a stable-ABI wheel"
    (("-DQUENDLE_SABI=3.12",), "3.12" if ON_312 else NEEDS_312),
    # A wheel build follows the tag's version unless told otherwise, and both must agree.
    (("-DSKBUILD_SABI_VERSION=3.12",), "3.12" if ON_312 else NEEDS_312),
    (("-DSKBUILD_SABI_VERSION=3.10", "-DQUENDLE_SABI=3.10"), "3.10"),
    (("-DSKBUILD_SABI_VERSION=3.12", "-DQUENDLE_SABI=3.10"), "but the wheel is tagged for the 3.12 stable ABI"),
    (("-DQUENDLE_SABI=3.11",), 'QUENDLE_SABI is "3.11": the module is built for the stable ABI 3.10 or 3.12 only'),
], ids=["default", "skbuild-empty", "given-3.12", "skbuild-3.12", "both-3.10", "disagree", "unknown"])
@pytest.mark.skipif(FREE_THREADED, reason="a free-threaded interpreter has no stable ABI")
def test_cmake_stable_abi_version(tmp_path: Path, defines: tuple[str, ...], expected: str) -> None:
    expect_sabi(configure(tmp_path, PYPROJECT.read_text(), *defines), tmp_path, expected)


@needs_cmake
@pytest.mark.parametrize(("first", "expected"), [
    ("-DSKBUILD_SABI_VERSION=3.10", "3.12" if ON_312 else NEEDS_312),  # chosen, so chosen again
    ("-DQUENDLE_SABI=3.10", "but the wheel is tagged for the 3.12 stable ABI"),  # given, so kept
], ids=["chosen", "given"])
@pytest.mark.skipif(FREE_THREADED, reason="a free-threaded interpreter has no stable ABI")
def test_cmake_stable_abi_version_on_reconfigure(tmp_path: Path, first: str, expected: str) -> None:
    assert configure(tmp_path, PYPROJECT.read_text(), first).returncode == 0
    again = subprocess.run(["cmake", str(tmp_path / "build"), "-DSKBUILD_SABI_VERSION=3.12"],
                           capture_output=True, text=True, timeout=300, stdin=subprocess.DEVNULL)
    expect_sabi(again, tmp_path, expected)


@needs_cmake
@pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded interpreter")
@pytest.mark.parametrize("defines", [(), ("-DQUENDLE_SABI=3.12",), ("-DSKBUILD_SABI_VERSION=",)],
                         ids=["default", "sabi-given", "skbuild-empty"])
def test_cmake_free_threaded_build_has_no_limited_api(tmp_path: Path, defines: tuple[str, ...]) -> None:
    result = configure(tmp_path, PYPROJECT.read_text(), *defines)
    assert result.returncode == 0, result.stderr
    assert f"-- quendle for the free-threaded CPython {sys.version_info[0]}.{sys.version_info[1]}t " in result.stdout
    assert "Py_LIMITED_API" not in lib_command(tmp_path)
