"""The site's tutorials as sources: executed notebooks, all in their index, taking
the critical facts from spinlattice_studies.exact, and importing the installed
toolkit as a user would. Their execution itself is `make docs`."""

import re
from pathlib import Path

import yaml
from spinlattice_studies import exact

TUTORIALS = Path(__file__).resolve().parents[2] / "docs" / "tutorials"
NOTEBOOKS = sorted(p for p in TUTORIALS.glob("*.md") if p.name != "index.md")


def front_matter(path):
    text = path.read_text()
    assert text.startswith("---\n"), path.name
    return yaml.safe_load(text.split("---\n", 2)[1])


def hidden_cells(path):
    """Sources of the cells tagged remove-cell."""
    cells = re.findall(r"```\{code-cell\}[^\n]*\n(.*?)```", path.read_text(), re.S)
    return [c for c in cells if c.startswith(":tags: [remove-cell]")]


def test_every_tutorial_is_an_executed_notebook_listed_in_the_index():
    assert len(NOTEBOOKS) >= 5
    toctree = re.search(r"```\{toctree\}\n(.*?)```", (TUTORIALS / "index.md").read_text(), re.S).group(1)
    listed = [line.strip() for line in toctree.splitlines() if line.strip() and not line.startswith(":")]
    assert sorted(listed) == [p.stem for p in NOTEBOOKS]
    for path in NOTEBOOKS:
        meta = front_matter(path)
        # Without both, myst-nb renders the page as text and runs nothing.
        assert meta["file_format"] == "mystnb" and meta["kernelspec"]["name"] == "python3", path.name
        assert "\n## At research size\n" in path.read_text(), path.name


def test_tutorials_take_the_critical_facts_from_exact():
    # T_c, U* and the exponents as anyone would type them, from their source of truth.
    written = {f"{exact.T_C:.{d}f}" for d in range(3, 8)} | {f"{exact.U_STAR:.{d}f}" for d in range(4, 8)}
    written |= {f"{exact.GAMMA_OVER_NU:g}", "7/4", f"{exact.BETA_OVER_NU:g}", "1/8"}
    for path in NOTEBOOKS:
        text = path.read_text()
        found = sorted(w for w in written if re.search(rf"(?<![\d.]){re.escape(w)}", text))
        assert not found, f"{path.name} writes out {found}: take them from spinlattice_studies.exact"


def test_nothing_reaches_the_toolkit_by_editing_the_import_path():
    # The site, the examples and the benchmarks import the installed package, as a user would.
    root = TUTORIALS.parents[1]
    pages = [p for p in root.glob("docs/**/*.md") if "_build" not in p.parts]
    sources = [*pages, root / "docs" / "conf.py", *root.glob("examples/*.py"), *root.glob("bench/*.py")]
    for path in sources:
        text = path.read_text()
        assert "import ising" not in text and "from ising" not in text, path
        if path.parent.name != "bench":  # the benchmarks reach tests/ helpers, never the toolkit
            assert "sys.path" not in text and "PYTHONPATH" not in text, path
