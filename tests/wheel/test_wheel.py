"""The repaired wheel in a fresh environment on a machine without the
system's libcurl: every library the wheel carries has its system copy
replaced by an empty file, in a mount namespace of the test's own."""

import email.parser
import importlib.util
import json
import os
import pathlib
import platform
import re
import shutil
import subprocess
import sys
import zipfile

import pytest

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parents[1]
WHEEL_DIR = pathlib.Path(os.environ.get("PEMU_WHEEL_DIR", ROOT / "dist"))
_ARCH = getattr(sys.implementation, "_multiarch", "")
LIB_DIRS = (f"/usr/lib/{_ARCH}", f"/lib/{_ARCH}", "/usr/lib64", "/lib64",
            "/usr/lib", "/lib")
# auditwheel renames libfoo.so.1 to libfoo-<8 hex digits>.so.1.
CARRIED_RE = re.compile(r"-[0-9a-f]{8}(?=\.)")

# The fixtures import their helpers from beside them.
sys.path.insert(0, str(ROOT / "tests" / "python"))
_spec = importlib.util.spec_from_file_location(
    "pemux_service_fixtures", ROOT / "tests" / "python" / "conftest.py")
_fixtures = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(_fixtures)
service = _fixtures.service


def supported_pythons():
    """cpXY tag -> interpreter, for 3.11 (this one) and the others the
    wheels are built for."""
    found = {f"cp{sys.version_info[0]}{sys.version_info[1]}": sys.executable}
    others = subprocess.run(["bash", str(ROOT / "scripts" / "other_pythons.sh")],
                            capture_output=True, text=True, check=True).stdout.split()
    for py in others:
        tag = subprocess.run([py, "-c", "import sys; print('cp%d%d' % sys.version_info[:2])"],
                             capture_output=True, text=True, check=True).stdout.strip()
        found[tag] = py
    return found


PYTHONS = supported_pythons()


@pytest.fixture(scope="module", params=sorted(PYTHONS))
def wheel(request):
    found = sorted(WHEEL_DIR.glob(f"pemux-*-{request.param}-{request.param}-manylinux_*.whl"))
    assert len(found) == 1, f"expected one repaired {request.param} wheel in {WHEEL_DIR} " \
        f"(bash scripts/build_wheel.sh makes it), found {found}"
    return found[0]


@pytest.fixture(scope="module")
def fresh_python(wheel, tmp_path_factory):
    """A fresh venv of the wheel's own Python, the wheel installed in it."""
    tag = wheel.name.split("-")[2]
    venv = tmp_path_factory.mktemp("fresh") / "venv"
    subprocess.run([PYTHONS[tag], "-m", "venv", str(venv)], check=True)
    py = venv / "bin" / "python"
    subprocess.run([str(py), "-m", "pip", "install", "-q", "--no-index",
                    "--no-deps", str(wheel)], check=True)
    return py


def carried_libraries(wheel):
    with zipfile.ZipFile(wheel) as zf:
        return sorted(pathlib.PurePosixPath(n).name for n in zf.namelist()
                      if n.startswith("pemux.libs/"))


def system_copies(names):
    """Real paths of the system's files that the carried libraries stand for,
    and of every libcurl the loader could find."""
    wanted = {CARRIED_RE.sub("", n, count=1) for n in names}
    found = set()
    for d in LIB_DIRS:
        for path in pathlib.Path(d).glob("lib*.so*"):
            if path.name in wanted or path.name.startswith("libcurl"):
                found.add(os.path.realpath(path))
    return sorted(found)


def run_hidden(python, args, hide, env, cwd):
    """Runs python with args after bind-mounting /dev/null over each path in
    hide, in a private mount namespace, so nothing outside sees it."""
    script = 'for f; do mount --bind /dev/null "$f"; done; exec "$PEMU_PY" "$PEMU_ARG"'
    full_env = {k: v for k, v in os.environ.items() if not k.startswith("PEMU_")}
    full_env.update(env, PEMU_PY=str(python), PEMU_ARG=str(args))
    return subprocess.run(["unshare", "--mount", "--propagation", "private",
                           "sh", "-ec", script, "sh", *hide],
                          env=full_env, cwd=cwd, capture_output=True, text=True,
                          timeout=120)


@pytest.fixture(scope="module")
def hidden(wheel):
    if shutil.which("unshare") is None:
        pytest.fail("unshare (util-linux) is needed to hide the system's libraries")
    names = carried_libraries(wheel)
    assert any(n.startswith("libcurl-") for n in names), names
    hide = system_copies(names)
    assert any("libcurl.so" in p for p in hide), hide
    return hide


def test_wheel_metadata(wheel):
    assert re.fullmatch(r"pemux-[^-]+-(cp3\d+)-\1-manylinux_2_\d+_"
                        + re.escape(platform.machine()) + r"\.whl", wheel.name)
    with zipfile.ZipFile(wheel) as zf:
        names = set(zf.namelist())
        meta_name = next(n for n in names if n.endswith(".dist-info/METADATA"))
        meta = email.parser.Parser().parsestr(zf.read(meta_name).decode())
    assert "pemux-stubs/__init__.pyi" in names
    assert not any(n.endswith(".pyi") and "/" not in n for n in names)
    assert any(n.endswith(".dist-info/licenses/LICENSE") for n in names)
    assert meta["Name"] == "pemux"
    assert meta["License-Expression"] == "MIT"
    assert meta["Summary"] and set(meta["Requires-Python"].split(",")) == {">=3.11", "<3.14"}
    assert meta.get_all("Project-URL")
    # The description opens with what pemux is and pip, not root steps.
    description = meta.get_payload()
    assert description.startswith("# pemux\n\npemux computes")
    assert "pip install pemux" in description
    assert "as root" not in description


def test_sdist_is_there(wheel):
    # The wheel was built from this sdist, so what it needs is in it.
    version = wheel.name.split("-")[1]
    assert (WHEEL_DIR / f"pemux-{version}.tar.gz").is_file()


def test_hiding_works_on_a_module_that_needs_the_system_libcurl(hidden, tmp_path):
    plain = tmp_path / "plain.py"
    plain.write_text("import pemux\n")
    proc = run_hidden(sys.executable, plain, hidden, {}, tmp_path)
    assert proc.returncode != 0
    assert "libcurl" in proc.stderr


def test_repaired_wheel_solves_without_system_libcurl(hidden, fresh_python,
                                                      service, tmp_path):
    env = {"PEMU_CHECK_BASE_URL": service.base_url,
           "PEMU_CHECK_CA_BUNDLE": service.ca,
           "PEMU_CHECK_API_KEY": service.api_key}
    mark = service.log_mark()
    proc = run_hidden(fresh_python, HERE / "wheel_check.py", hidden, env, tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    report = json.loads(proc.stdout.splitlines()[-1])
    site = pathlib.Path(fresh_python).parents[1]
    assert pathlib.Path(report["module"]).is_relative_to(site)
    assert report["version"] == report["dist_version"]
    sums = 1
    for x in (3, 5, 7, 11):
        sums |= sums << x
    assert report["local"] == report["remote"] == [sums]
    assert bytes.fromhex(report["local_bytes"]) == sums.to_bytes(8, "little")
    submits = [e for e in service.entries_since(mark, "https")
               if e["method"] == "POST"]
    assert [e["body"] for e in submits] == ["[3,5,7,11]"]
    assert report["curl_mappings"]
    assert all(pathlib.Path(p).is_relative_to(site / "lib")
               and "/pemux.libs/" in p for p in report["curl_mappings"])
