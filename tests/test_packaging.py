"""Packaging: the sdist and the wheel that ``python -m build`` makes, and the one version.

The build from this tree (sdist, then the wheel from that sdist) runs in the normal suite without
build isolation, with the build tools of the running venv.  QUARNA_SLOW_TESTS=1 adds the isolated
build and the install of the sdist into a clean venv, whose test suite must then pass.
scripts/wheels runs the suite where no build tools are, against the wheel it installed: it names
that wheel and the sdist it was built from (QUARNA_WHEEL, QUARNA_SDIST), and these are checked.
"""
import email.parser
import importlib
import importlib.metadata
import importlib.util
import os
import re
import subprocess
import sys
import tarfile
import venv
import zipfile
from pathlib import Path

import pytest
from packaging.requirements import Requirement

try:
    import tomllib
except ImportError:  # 3.10
    import tomli as tomllib

REPO = Path(__file__).resolve().parent.parent
MODULE_DIR = "quarna_data/connections/implementations/mixins"
SLOW = pytest.mark.skipif(not os.environ.get("QUARNA_SLOW_TESTS"), reason="set QUARNA_SLOW_TESTS=1")
PY_TAG = f"cp{sys.version_info.major}{sys.version_info.minor}"
ABI_TAG = PY_TAG + sys.abiflags  # "cp311d" on a debug interpreter


def _project():
    return tomllib.loads((REPO / "pyproject.toml").read_text(encoding="utf-8"))["project"]


def _env(**extra):
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "QUARNA_DEV_TREE", "QUARNA_SLOW_TESTS")}
    # The cmake and ninja of this venv come first, as in scripts/bootstrap.
    env["PATH"] = os.pathsep.join([str(Path(sys.executable).parent), env.get("PATH", "")])
    env.update(extra)
    return env


def _run(args, **kwargs):
    result = subprocess.run(args, capture_output=True, text=True, timeout=1200, **kwargs)
    assert result.returncode == 0, f"{args}\n{result.stdout[-4000:]}\n{result.stderr[-4000:]}"
    return result


def _build(outdir, *options):
    if importlib.util.find_spec("build") is None:
        pytest.fail("the 'build' package is not installed: it is one of the test tools (pip install '.[test]')")
    _run([sys.executable, "-m", "build", *options, "--outdir", str(outdir), str(REPO)], env=_env())
    (sdist,) = outdir.glob("*.tar.gz")
    wheels = list(outdir.glob("*.whl"))
    return sdist, wheels


@pytest.fixture(scope="module")
def dist(tmp_path_factory):
    """sdist and wheel built as ``python -m build`` does by default: the wheel from the sdist."""
    if os.environ.get("QUARNA_WHEEL"):
        return Path(os.environ["QUARNA_SDIST"]), Path(os.environ["QUARNA_WHEEL"])
    sdist, (wheel,) = _build(tmp_path_factory.mktemp("dist"), "--no-isolation")
    return sdist, wheel


def _sdist_files(sdist):
    with tarfile.open(sdist) as archive:
        members = archive.getmembers()
    root = f"quarna_data-{_project()['version']}/"
    assert all(m.name.startswith(root) for m in members)
    return {m.name[len(root):]: m for m in members if m.isfile()}


def test_sdist_carries_sources_build_files_tests_and_scripts(dist):
    files = _sdist_files(dist[0])
    native = {str(p.relative_to(REPO)) for p in (REPO / "native").rglob("*") if p.suffix in (".cpp", ".hpp")}
    assert native and native <= files.keys()
    expected = {
        "CMakeLists.txt", "pyproject.toml", "README.md", "PKG-INFO", "native/README.md", "LICENSE", "docs/PYPI.md",
        "scripts/bootstrap", "scripts/test", "scripts/wheels", "scripts/env.sh",
        "tests/conftest.py", "tests/typing_sample.py", "tests/test_typing.py", "tests/test_packaging.py",
        "tests/test_frame.py",
        f"src/{MODULE_DIR}/sqlite_statements_mixin.pyi", "src/quarna_data/py.typed", "src/quarna_utils/py.typed",
        "src/quarna_utils/query/utils.py", "src/quarna_data/table_schemas/constants.py",
    }
    assert expected <= files.keys()
    for name in ("scripts/bootstrap", "scripts/test", "scripts/wheels"):
        assert files[name].mode & 0o111, f"{name} lost its executable bit"
    unwanted = [n for n in files if n.startswith((".venv/", "build/", "dist/", "wheelhouse/", ".benchmarks/"))
                or "__pycache__" in n or n.endswith((".so", ".pyc", ".sqlite"))]
    assert unwanted == []


def _wheel_metadata(wheel):
    with zipfile.ZipFile(wheel) as archive:
        names = set(archive.namelist())
        info = f"quarna_data-{_project()['version']}.dist-info"
        metadata = email.parser.Parser().parsestr(archive.read(f"{info}/METADATA").decode())
        entry_points = archive.read(f"{info}/entry_points.txt").decode()
    return names, metadata, entry_points


def test_wheel_carries_the_module_its_stub_and_the_markers(dist):
    wheel = dist[1]
    assert wheel.name.startswith(f"quarna_data-{_project()['version']}-{PY_TAG}-{ABI_TAG}-")
    names, _, entry_points = _wheel_metadata(wheel)
    extension = [n for n in names if n.startswith(f"{MODULE_DIR}/sqlite_statements_mixin.") and n.endswith(".so")]
    assert len(extension) == 1 and f".cpython-{PY_TAG[2:]}{sys.abiflags}-" in extension[0]
    assert {f"{MODULE_DIR}/sqlite_statements_mixin.pyi", "quarna_data/py.typed", "quarna_utils/py.typed"} <= names
    assert not [n for n in names if n.startswith(("tests/", "native/")) or n.endswith(".pyc")]
    assert "[console_scripts]\nquarna-data = quarna_data.cli:main" in entry_points


def test_wheel_metadata_comes_from_pyproject(dist):
    project = _project()
    _, metadata, _ = _wheel_metadata(dist[1])
    assert (metadata["Name"], metadata["Version"]) == (project["name"], project["version"])
    def specifiers(text):
        return sorted(part.strip() for part in text.split(","))

    assert specifiers(metadata["Requires-Python"]) == specifiers(project["requires-python"])
    requires = [Requirement(r) for r in metadata.get_all("Requires-Dist")]
    assert [r for r in requires if r.marker is None] == [Requirement(r) for r in project["dependencies"]]
    test_extra = [r.name for r in requires if r.marker and r.marker.evaluate({"extra": "test"})]
    assert test_extra == [Requirement(r).name for r in project["optional-dependencies"]["test"]]
    assert {"pytest", "mypy", "build"} <= set(test_extra)
    with tarfile.open(dist[0]) as archive:
        pkg_info = archive.extractfile(f"quarna_data-{project['version']}/PKG-INFO").read().decode()
    assert email.parser.Parser().parsestr(pkg_info)["Version"] == project["version"]


def test_metadata_has_license_authors_urls_and_the_user_description(dist):
    project = _project()
    names, metadata, _ = _wheel_metadata(dist[1])
    assert metadata["License-Expression"] == project["license"] == "MIT"
    assert f"quarna_data-{project['version']}.dist-info/licenses/LICENSE" in names
    assert "MIT License" in (REPO / "LICENSE").read_text(encoding="utf-8")
    assert project["authors"] and metadata["Author-Email"]
    assert {url.split(",")[0] for url in metadata.get_all("Project-URL")} >= {"Homepage", "Source", "Issues"}
    # What an index shows: the user's description, not the development README, and nothing in it
    # that needs this tree (scripts, images or links by relative path).
    description = metadata.get_payload()
    assert project["readme"] != "README.md"
    assert description.strip() == (REPO / project["readme"]).read_text(encoding="utf-8").strip()
    assert "./scripts" not in description and "from quarna_data" in description
    assert re.findall(r"\]\((?!https?://)[^)]*\)", description) == []


def test_python_versions_no_upper_bound_and_the_tested_ones_named_alike(dist):
    project = _project()
    _, metadata, _ = _wheel_metadata(dist[1])
    assert metadata["Requires-Python"] == ">=3.10"
    classified = {c.rsplit(" ", 1)[1] for c in project["classifiers"]
                  if re.fullmatch(r"Programming Language :: Python :: 3\.\d+", c)}
    wheels = tomllib.loads((REPO / "pyproject.toml").read_text(encoding="utf-8"))["tool"]["cibuildwheel"]["build"]
    built = {f"3.{tag[3:]}" for tag in re.findall(r"cp3\d+", wheels)}
    assert classified == built == {"3.10", "3.11", "3.12", "3.13"}
    cmake = (REPO / "CMakeLists.txt").read_text(encoding="utf-8")
    tested = re.search(r"set\(QUARNA_LAST_TESTED_PYTHON (3\.\d+)\)", cmake).group(1)
    assert tested == max(classified, key=lambda v: int(v.split(".")[1]))


def test_version_is_written_in_pyproject_only(dist):
    version = _project()["version"]
    carriers = [name for name, member in _sdist_files(dist[0]).items()
                if name.startswith(("src/", "native/", "CMakeLists.txt"))
                and version in (REPO / name).read_text(encoding="utf-8", errors="replace")]
    assert carriers == []


def test_wheel_module_loads_on_its_own(dist, tmp_path):
    with zipfile.ZipFile(dist[1]) as archive:
        archive.extractall(tmp_path)
    code = (
        "import sys; sys.path.insert(0, sys.argv[1])\n"
        f"import quarna_data, {MODULE_DIR.replace('/', '.')}.sqlite_statements_mixin as m\n"
        "assert quarna_data.__file__.startswith(sys.argv[1]), quarna_data.__file__\n"
        "print(m.SqliteStatementsMixin()._build_insert_statement('t', {'a': 1}))\n"
    )
    result = _run([sys.executable, "-I", "-c", code, str(tmp_path)], env=_env())
    assert result.stdout == "('INSERT INTO `t` (`a`) VALUES (?)', (1,))\n"


@pytest.mark.skipif(bool(os.environ.get("QUARNA_DEV_TREE")), reason="a developer tree is not installed")
def test_installed_version_and_command():
    import quarna_data

    version = _project()["version"]
    assert quarna_data.__version__ == importlib.metadata.version("quarna-data") == version
    (command,) = importlib.metadata.entry_points(group="console_scripts", name="quarna-data")
    assert command.value == "quarna_data.cli:main" and callable(command.load())


@SLOW
def test_isolated_build_makes_an_sdist_and_a_wheel(tmp_path):
    sdist, wheels = _build(tmp_path)
    assert sdist.name == f"quarna_data-{_project()['version']}.tar.gz"
    assert [w.name.split("-")[2:4] for w in wheels] == [[PY_TAG, ABI_TAG]]


@SLOW
def test_sdist_installs_in_a_clean_venv_and_passes_the_tests(tmp_path):
    sdist, _ = _build(tmp_path / "dist", "--sdist")
    env_dir = tmp_path / "venv"
    venv.create(env_dir, with_pip=True)
    python = env_dir / "bin" / "python"
    clean = _env(PATH=os.environ.get("PATH", ""), PIP_DISABLE_PIP_VERSION_CHECK="1")
    _run([str(python), "-m", "pip", "install", "-q", f"{sdist}[test]"], env=clean, cwd=tmp_path)
    with tarfile.open(sdist) as archive:
        archive.extractall(tmp_path / "src")
    (tree,) = (tmp_path / "src").iterdir()
    # The packaging tests would build again from the unpacked tree: left out here.
    _run([str(python), "-I", "-m", "pytest", "-q", "--import-mode=importlib", "-p", "no:cacheprovider", "tests",
          "--ignore", "tests/test_packaging.py"], env=dict(clean, QUARNA_EXPECT_PREFIX=str(env_dir)), cwd=tree)
    help_text = _run([str(env_dir / "bin" / "quarna-data"), "--help"], env=clean, cwd=tmp_path).stdout
    assert "usage:" in help_text
