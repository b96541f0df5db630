"""The macOS and Windows wheels: the builds cibuildwheel picks from pyproject.toml, the
cibuildwheel and the archs the workflow runs it with, and the workflow under actionlint."""

import os
import re
import shutil
import subprocess
import sys
import tomllib
from importlib.metadata import version
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
WORKFLOW = ROOT / ".github" / "workflows" / "wheels.yml"
ABIS = ["cp311", "cp312", "cp313", "cp313t", "cp314", "cp314t"]


def build_identifiers(platform):
    env = {k: v for k, v in os.environ.items() if not k.startswith("CIBW_")}
    done = subprocess.run([sys.executable, "-m", "cibuildwheel", "--print-build-identifiers", "--platform", platform],
                          cwd=ROOT, env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return sorted(done.stdout.split())


@pytest.mark.parametrize("platform, tags", [
    ("macos", ["macosx_arm64", "macosx_x86_64"]),
    ("windows", ["win_amd64"]),
    ("linux", []),  # Linux wheels come from `make dist` only
])
def test_cibuildwheel_selects_exactly_the_intended_builds(platform, tags):
    assert build_identifiers(platform) == sorted(f"{abi}-{tag}" for abi in ABIS for tag in tags)


def test_workflow_runs_the_checked_cibuildwheel_once_per_arch():
    text = WORKFLOW.read_text()
    assert re.findall(r"cibuildwheel==(\S+)", text) == [version("cibuildwheel")]
    with open(ROOT / "pyproject.toml", "rb") as f:
        config = tomllib.load(f)["tool"]["cibuildwheel"]
    runner_archs = re.findall(r"^ +archs: (\S+)$", text, re.M)
    assert sorted(runner_archs) == sorted(config["macos"]["archs"] + config["windows"]["archs"])


def test_workflow_is_clean_under_actionlint_with_shellcheck():
    actionlint = shutil.which("actionlint", path=os.pathsep.join([os.path.dirname(sys.executable),
                                                                  os.environ.get("PATH", "")]))
    assert actionlint, "actionlint is not installed (make pytest-tooling installs it)"
    done = subprocess.run([actionlint, "-verbose", str(WORKFLOW)], cwd=ROOT, capture_output=True, text=True,
                          timeout=120)
    out = done.stdout + done.stderr
    assert done.returncode == 0, out
    assert 'Rule "shellcheck" was disabled' not in out, out
