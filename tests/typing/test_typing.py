"""The installed stubs as a user's type checker sees them: good.py must pass
mypy --strict and pyright cleanly, bad.py must get exactly the errors its
comments name. The checkers run outside the source tree, against the
interpreter running these tests, so only the installed wheel is seen."""

import ast
import importlib.metadata
import json
import os
import pathlib
import re
import subprocess
import sys

import pytest

HERE = pathlib.Path(__file__).resolve().parent
GOOD = HERE / "good.py"
BAD = HERE / "bad.py"
EXPECT_RE = re.compile(r"#\s*mypy:\s*([^;]*);\s*pyright:\s*(.*)$")


def run_mypy(path, workdir):
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "-O", "json",
         "--cache-dir", str(workdir / "mypy-cache"), str(path)],
        cwd=workdir, capture_output=True, text=True, timeout=300)
    found = set()
    for line in proc.stdout.splitlines():
        if not line.strip():
            continue
        item = json.loads(line)
        if item["severity"] == "error":
            found.add((item["line"], item["code"]))
    assert (proc.returncode != 0) == bool(found), proc.stdout + proc.stderr
    return found


def run_pyright(path, workdir):
    proc = subprocess.run(
        [sys.executable, "-m", "pyright", "--outputjson",
         "--pythonpath", sys.executable, str(path)],
        cwd=workdir, capture_output=True, text=True, timeout=300)
    report = json.loads(proc.stdout)
    found = {(d["range"]["start"]["line"] + 1, d["rule"])
             for d in report["generalDiagnostics"] if d["severity"] == "error"}
    assert (proc.returncode != 0) == bool(found), proc.stdout + proc.stderr
    return found


CHECKERS = {"mypy": (run_mypy, 0), "pyright": (run_pyright, 1)}


def expected_errors(checker):
    column = CHECKERS[checker][1]
    expected = set()
    for number, line in enumerate(BAD.read_text().splitlines(), start=1):
        m = EXPECT_RE.search(line)
        if m:
            expected.update((number, code) for code in m.group(column + 1).split())
    return expected


@pytest.mark.parametrize("checker", sorted(CHECKERS))
def test_good_program_has_no_errors(checker, tmp_path):
    assert CHECKERS[checker][0](GOOD, tmp_path) == set()


@pytest.mark.parametrize("checker", sorted(CHECKERS))
def test_each_mistake_is_reported(checker, tmp_path):
    expected = expected_errors(checker)
    assert len({line for line, _ in expected}) >= 15
    assert CHECKERS[checker][0](BAD, tmp_path) == expected


def _public_names_of_stub():
    stubs = [f for f in importlib.metadata.files("pemux")
             if f.as_posix() == "pemux-stubs/__init__.pyi"]
    assert stubs, "the installed pemux carries no pemux-stubs/__init__.pyi"
    tree = ast.parse(pathlib.Path(stubs[0].locate()).read_text())
    names = set()
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
    return names


def test_good_program_uses_every_name_of_the_stub():
    used = {node.attr for node in ast.walk(ast.parse(GOOD.read_text()))
            if isinstance(node, ast.Attribute)
            and isinstance(node.value, ast.Name) and node.value.id == "pemux"}
    stub_names = _public_names_of_stub()
    assert {"complete_subset_sum", "subset_sum_result_check"} <= stub_names
    assert stub_names - used == set()


def test_good_program_runs(tmp_path):
    env = dict(os.environ, PEMU_KILLSWITCH="1")
    proc = subprocess.run([sys.executable, str(GOOD)], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert proc.stdout.endswith("ok\n"), proc.stdout
