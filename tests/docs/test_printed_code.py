"""The code README, getting started and the how-to guides print runs as printed, for
a user who has only installed the package: a wheel is built from this checkout and
installed with its [studies] extra into a fresh venv that holds nothing else, and
each page's code runs there in a folder of its own. Pages that import Dask run last,
after [dask] is added. Slow (a wheel build and two installs): `make docs-code`."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

from printed import PAGES, ROOT, needs_dask, printed_code, run_page

# Pages without Dask first, so that they are shown to run without it.
ORDER = sorted(PAGES, key=lambda page: needs_dask(printed_code(page)))


class CleanVenv:
    def __init__(self, folder: Path):
        wheels = folder / "wheel"
        # The checkout's own build folder keeps this incremental, as `make install` left it.
        subprocess.run([sys.executable, "-m", "pip", "wheel", "-q", "--no-deps", "--no-build-isolation",
                        "-w", str(wheels), str(ROOT)], check=True)
        self.wheel = next(wheels.glob("spinlattice-*.whl"))
        subprocess.run([sys.executable, "-m", "venv", str(folder / "venv")], check=True)
        self.python = str(folder / "venv" / "bin" / "python")
        self.extras = set()
        self.install("studies")

    def install(self, extra):
        if extra not in self.extras:
            subprocess.run([self.python, "-m", "pip", "install", "-q", f"{self.wheel}[{extra}]"], check=True)
            self.extras.add(extra)


@pytest.fixture(scope="session")
def venv(tmp_path_factory):
    return CleanVenv(tmp_path_factory.mktemp("printed-code"))


def test_the_venv_holds_only_the_wheel_and_its_extra(venv):
    # Nothing reaches the checkout: the module and the toolkit are the wheel's.
    where = subprocess.run([venv.python, "-c", "import spinlattice, spinlattice_studies as s; "
                            "print(spinlattice.__file__); print(s.__file__)"],
                           capture_output=True, text=True, check=True, cwd=venv.wheel.parent).stdout.split()
    assert all(Path(p).is_relative_to(Path(venv.python).parents[1]) for p in where), where


@pytest.mark.parametrize("page", ORDER, ids=[p.relative_to(ROOT).as_posix() for p in ORDER])
def test_the_printed_code_runs(venv, page):
    code = printed_code(page)
    assert code.strip(), f"{page.name} prints no code"
    if needs_dask(code):
        venv.install("dask")
    env = {"PATH": os.environ["PATH"], "HOME": os.environ.get("HOME", "/tmp"), "MPLBACKEND": "Agg",
           "LANG": "C.UTF-8"}
    done = run_page(venv.python, page, env=env)
    assert done.returncode == 0, f"{page.name} failed:\n{done.stdout[-3000:]}\n{done.stderr[-5000:]}"
