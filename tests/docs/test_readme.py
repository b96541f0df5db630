"""README as PyPI shows it: the sdist's metadata passes `twine check --strict`,
readme-renderer turns README into HTML whose every link and image is absolute and
lands on something that exists (a page the site build made, a file the repository
holds), its figures match the recorded runs the site reads, and the package's
citation and URLs agree with each other."""

import json
import re
import subprocess
import sys
import tomllib
from html.parser import HTMLParser

import yaml
from readme_renderer.markdown import render

from spinlattice_studies.reporting import with_error

from printed import ROOT

SITE = ROOT / "docs" / "_build" / "html"
DATA = ROOT / "docs" / "_data"
DOCS = "https://spinlattice.readthedocs.io/en/latest/"
REPOSITORY = "https://github.com/spinlattice/spinlattice"
FILES = (f"{REPOSITORY}/blob/main/", "https://raw.githubusercontent.com/spinlattice/spinlattice/main/")
README = (ROOT / "README.md").read_text(encoding="utf-8")


class _Targets(HTMLParser):
    def __init__(self):
        super().__init__()
        self.targets = []

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        for key in ("href", "src"):
            if attrs.get(key) is not None:
                self.targets.append((tag, attrs[key]))


def tracked(path):
    return subprocess.run(["git", "ls-files", "--error-unmatch", path], cwd=ROOT, capture_output=True).returncode == 0


def test_the_sdist_passes_twine_check_strict(tmp_path):
    subprocess.run([sys.executable, "-m", "build", "--sdist", "--no-isolation", "-o", str(tmp_path), str(ROOT)],
                   check=True, capture_output=True)
    sdist = next(tmp_path.glob("spinlattice-*.tar.gz"))
    done = subprocess.run([sys.executable, "-m", "twine", "check", "--strict", str(sdist)], capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr


def test_every_link_and_image_is_absolute_and_lands_somewhere():
    assert len(README.splitlines()) <= 150
    html = render(README)
    assert html, "readme-renderer could not render README.md"
    parser = _Targets()
    parser.feed(html)
    assert any(tag == "img" for tag, _ in parser.targets)
    problems = []
    for tag, url in parser.targets:
        if url.startswith("#"):
            continue  # the renderer's own anchors for README's headings
        if not re.match(r"^https://", url):
            problems.append(f"<{tag}> {url}: not absolute (PyPI breaks relative links)")
        elif url.startswith(DOCS):
            page = url.removeprefix(DOCS).split("#")[0]
            if not (SITE / page).is_file():
                problems.append(f"{url}: the site has no {page}")
        elif url.startswith(FILES):
            path = url.removeprefix(FILES[0]).removeprefix(FILES[1])
            if not tracked(path):
                problems.append(f"{url}: the repository holds no {path}")
        elif not url.startswith((REPOSITORY, "https://spinlattice.readthedocs.io/")):
            problems.append(f"{url}: neither the site nor the repository")
    assert not problems, "\n".join(problems)


def test_the_figures_are_those_of_the_recorded_runs():
    lines = " ".join(README.split("## Figures", 1)[1].split("\n## ", 1)[0].split())
    performance = json.loads((DATA / "performance.json").read_text())
    at_128 = next(row for row in performance["metropolis"] if row["L"] == 128)["updates_per_second"]
    expected = [f"128 × 128: {at_128['simulation_steps'] / 1e6:.0f} M updates/s with `simulation_steps`, "
                f"{at_128['loop'] / 1e6:.0f} M/s with a loop of `simulation_step`",
                performance["recorded"]["date"], performance["recorded"]["command"]]
    for name in ("critical.json", "critical-512.json"):
        run = json.loads((DATA / name).read_text())
        expected += [f"T_c = {with_error(run['Tc'], run['Tc_err'])}", f"U* = {with_error(run['U_star'], run['U_star_err'])}",
                     run["recorded"]["date"], f"docs/_data/{name}"]
    missing = [text for text in expected if text not in lines]
    assert not missing, f"README's figures no longer match docs/_data: it should say {missing}"


def test_citation_and_project_urls_agree():
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    citation = yaml.safe_load((ROOT / "CITATION.cff").read_text())
    assert citation["cff-version"] == "1.2.0"
    assert citation["version"] == project["version"] and citation["license"] == project["license"]
    assert citation["repository-code"] == project["urls"]["Source"] == REPOSITORY
    assert citation["authors"] == [{"name": "The spinlattice developers"}]
    assert set(project["urls"]) == {"Homepage", "Documentation", "Source", "Issues", "Changelog"}
    assert all(url.startswith("https://") for url in project["urls"].values())


def test_readme_offers_pypi_only_as_a_future():
    # 0.1.0 is unreleased: every `pip install spinlattice` is said to come once it is.
    for paragraph in README.split("\n\n"):
        if "pip install spinlattice" in paragraph or 'pip install "spinlattice' in paragraph:
            assert "once released" in paragraph.lower(), paragraph
