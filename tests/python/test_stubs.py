"""The typing stubs: mypy accepts everyday use, rejects misuse, and the stubs
ship next to the built module."""

from __future__ import annotations

import importlib.util
import re
import subprocess
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
STUBS = HERE.parents[1] / "src" / "quarlex" / "python" / "stubs"
USAGE = HERE / "typecheck_usage.py"
ALLOWLIST = HERE / "stubtest_allowlist.txt"

# Each line marked `# E` must draw a mypy error; no other line may.
MISUSE = """\
from quarlex import ElasticHashMap, ElasticHashSet, FunnelHashMap, FunnelHashSet

m: ElasticHashMap[str, int] = ElasticHashMap()
m["a"] = "one"  # E
m[1] = 1  # E
n: FunnelHashMap[str, int] = ElasticHashMap()  # E
ElasticHashMap.with_options(capacity="8")  # E
m.capacity = 3  # E
s = ElasticHashSet([1, 2])
s.add("x")  # E
reversed(m)  # E
s.union(5)  # E
FunnelHashSet(x=1)  # E
m.keys().isdisjoint([1])  # E
m.items() ^ [("a", 1)]  # E
ElasticHashMap[int, int]().update(x=1)  # E
ok: FunnelHashSet[int] = FunnelHashSet(iter([1]))
"""


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory: pytest.TempPathFactory) -> Path:
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed in this interpreter; the stubs cannot be type-checked")
    # Shared so that the second run does not parse the standard library again.
    return tmp_path_factory.mktemp("mypy-cache")


def run_mypy(cache: Path, file: Path) -> tuple[int, str]:
    cmd = [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--show-error-codes",
           "--cache-dir", str(cache), "--python-version", "3.13", str(file)]
    env = {"MYPYPATH": str(STUBS), "PATH": "/usr/bin:/bin"}
    done = subprocess.run(cmd, capture_output=True, text=True, env=env, cwd=file.parent, timeout=300)
    return done.returncode, done.stdout + done.stderr


def test_usage_type_checks_cleanly(mypy_cache: Path) -> None:
    # The stub itself is checked too: MYPYPATH makes it first-party code.
    rc, out = run_mypy(mypy_cache, USAGE)
    assert rc == 0, out


def test_misuse_is_rejected_line_by_line(mypy_cache: Path, tmp_path: Path) -> None:
    snippet = tmp_path / "misuse.py"
    snippet.write_text(MISUSE)
    rc, out = run_mypy(mypy_cache, snippet)
    assert rc == 1, out
    expected = {i for i, line in enumerate(MISUSE.splitlines(), 1) if line.endswith("# E")}
    flagged = {int(n) for n in re.findall(r"^misuse\.py:(\d+): error:", out, re.M)}
    assert flagged == expected, out


def test_stubs_sit_beside_the_built_module() -> None:
    quarlex = pytest.importorskip("quarlex")
    beside = Path(quarlex.__file__).with_name("quarlex.pyi")
    assert beside.is_file(), f"no stubs beside {quarlex.__file__}"
    assert beside.read_text() == (STUBS / "quarlex.pyi").read_text()


def test_stubs_match_the_runtime(mypy_cache: Path) -> None:
    # stubtest imports the built module and compares every class, method and
    # signature with the stubs: a method added, renamed or dropped on either
    # side fails here.
    quarlex = pytest.importorskip("quarlex")
    cmd = [sys.executable, "-m", "mypy.stubtest", "quarlex", "--allowlist", str(ALLOWLIST),
           "--mypy-config-file", "/dev/null"]
    env = {"MYPYPATH": str(STUBS), "PYTHONPATH": str(Path(quarlex.__file__).parent),
           "PATH": "/usr/bin:/bin"}
    done = subprocess.run(cmd, capture_output=True, text=True, env=env, cwd=mypy_cache, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr


def test_usage_runs() -> None:
    # What the stubs promise must also work: run the usage file for real.
    pytest.importorskip("quarlex")
    done = subprocess.run([sys.executable, str(USAGE)], capture_output=True, text=True, timeout=120,
                          env={"PYTHONPATH": ":".join(sys.path), "PATH": "/usr/bin:/bin"})
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "ok"
