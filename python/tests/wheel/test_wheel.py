"""The release's wheel, built as scripts/release.sh builds it, installed offline into a fresh virtual
environment (Debian 12's Python with its PyVISA and PyMeasure: the oldest supported) and used from outside
the source tree to query the module through vornlan. VORN_PYTHON_VENV names a Python with build, setuptools
and wheel (the tests' virtual environment)."""
import os
import re
import subprocess
import sys
import zipfile

import pytest

from conftest import IDN, RESOURCE

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..")


def source_version():
    with open(os.path.join(ROOT, "python", "vorn_module", "__init__.py")) as f:
        return re.search(r'^__version__ = "([^"]+)"', f.read(), re.M).group(1)


@pytest.fixture(scope="module")
def dist(tmp_path_factory):
    builder = os.environ.get("VORN_PYTHON_VENV")
    if not builder:
        pytest.fail("VORN_PYTHON_VENV must name the tests' virtual environment's python")
    folder = tmp_path_factory.mktemp("dist")
    subprocess.run(["bash", os.path.join(ROOT, "scripts", "python-dist.sh"), builder, str(folder)], check=True,
                   capture_output=True, text=True, timeout=300)
    return folder


def test_the_wheel_carries_its_version_dependencies_and_data(dist):
    version = source_version()
    assert sorted(os.listdir(dist)) == [f"vorn_module-{version}-py3-none-any.whl", f"vorn_module-{version}.tar.gz"]
    with zipfile.ZipFile(dist / f"vorn_module-{version}-py3-none-any.whl") as wheel:
        names = wheel.namelist()
        metadata = wheel.read(f"vorn_module-{version}.dist-info/METADATA").decode()
    for name in ("py.typed", "vorn_module.yaml", "module.py", "qcodes_driver.py", "discovery.py"):
        assert f"vorn_module/{name}" in names
    assert not any("tests" in name for name in names)
    assert f"\nVersion: {version}\n" in metadata
    for requirement in ("Requires-Dist: PyVISA>=1.11", "Requires-Dist: PyMeasure>=0.9", "Provides-Extra: qcodes",
                        "Provides-Extra: py"):
        assert requirement in metadata


def test_installed_offline_it_queries_the_module(lan, dist, tmp_path):
    version = source_version()
    venv = tmp_path / "venv"
    subprocess.run(["/usr/bin/python3", "-m", "venv", "--system-site-packages", str(venv)], check=True, timeout=120)
    install = subprocess.run([str(venv / "bin" / "pip"), "install", "--no-index", "--disable-pip-version-check",
                              str(dist / f"vorn_module-{version}-py3-none-any.whl")],
                             capture_output=True, text=True, timeout=300)
    assert install.returncode == 0, install.stdout + install.stderr
    script = ("import sys, vorn_module\n"
              "m = vorn_module.VornModule(sys.argv[1], visa_library='@py', timeout=10000)\n"
              "m.averages = 9\n"
              "print(vorn_module.__version__, vorn_module.__file__, m.id, m.averages, sep='\\n')\n")
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME")}
    run = subprocess.run([str(venv / "bin" / "python"), "-c", script, RESOURCE], cwd=tmp_path, env=env,
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr
    got_version, path, identity, averages = run.stdout.splitlines()
    assert got_version == version
    assert path.startswith(str(venv)), "the installed package, not the source tree"
    assert identity == IDN and averages == "9"
    assert lan.sent() == ["VORN:IAV 9", "SYST:ERR?", "*IDN?", "SYST:ERR?", "VORN:IAV?", "SYST:ERR?"]
