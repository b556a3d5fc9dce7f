"""Packaging: one exported symbol, the licence and its metadata, the stubs and
the licence inside the wheel, an sdist that carries everything a build needs."""

import importlib.metadata
import pathlib
import shutil
import subprocess
import sys
import tarfile

import pytest

import orbelin

ROOT = pathlib.Path(__file__).resolve().parent.parent


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm is not installed")
def test_extension_exports_only_its_init_function():
    out = subprocess.run(["nm", "-D", "--defined-only", orbelin.__file__], capture_output=True, text=True,
                         check=True).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit_orbelin"]


def test_licence_file_and_metadata():
    text = (ROOT / "LICENSE").read_text()
    assert text.startswith("BSD 3-Clause License\n")
    assert "Neither the name of the copyright holder" in text
    meta = importlib.metadata.metadata("orbelin")
    assert meta["License-Expression"] == "BSD-3-Clause"
    assert meta.get_all("License-File") == ["LICENSE"]


def test_classifiers_name_every_supported_python():
    # Every minor release from the floor of Requires-Python up to the newest one the test command is run on.
    meta = importlib.metadata.metadata("orbelin")
    assert meta["Requires-Python"] == ">=3.10"
    prefix = "Programming Language :: Python :: 3."
    minors = [int(c[len(prefix):]) for c in meta.get_all("Classifier") if c.startswith(prefix)]
    assert minors == [10, 11, 12, 13]


def test_wheel_carries_stubs_and_licence():
    files = {str(f) for f in importlib.metadata.files("orbelin")}
    assert "orbelin-stubs/__init__.pyi" in files
    assert any(f.endswith("licenses/LICENSE") for f in files)


@pytest.mark.parametrize("extra, packages", [("plot", ["matplotlib"]), ("porkchop", ["pyerfa", "matplotlib"])])
def test_extras_name_the_examples_dependencies(extra, packages):
    requires = importlib.metadata.requires("orbelin")
    for package in packages:
        assert any(r.startswith(package) and f'extra == "{extra}"' in r for r in requires), package


def test_sdist_holds_what_a_build_needs(tmp_path):
    pytest.importorskip("scikit_build_core.build")
    name = subprocess.run(
        [sys.executable, "-c", f"from scikit_build_core.build import build_sdist; print(build_sdist({str(tmp_path)!r}))"],
        cwd=ROOT, capture_output=True, text=True, check=True).stdout.split()[-1]
    with tarfile.open(tmp_path / name) as tar:
        names = {n.split("/", 1)[1] for n in tar.getnames() if "/" in n}
    needed = {"pyproject.toml", "CMakeLists.txt", "LICENSE", "README.md", "src/python/exports.map",
              "src/python/docstrings.hpp", "stubs/stubgen.py", "PKG-INFO"}
    assert needed <= names, needed - names
    assert not any(n.startswith("build/") for n in names)
