"""The code a page prints, as a reader would copy it: README's and getting started's
```python blocks, and the code cells of the executed pages (how-to guides), less
those hidden from the reader. `python tests/docs/printed.py PAGE.md` runs one page's
code the way the clean-venv test does, with this interpreter."""

import re
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
PAGES = [ROOT / "README.md", ROOT / "docs" / "getting-started.md",
         *sorted(p for p in (ROOT / "docs" / "how-to").glob("*.md") if p.name != "index.md")]

_BLOCK = re.compile(r"^```(python|\{code-cell\}[^\n]*)\n(.*?)^```", re.S | re.M)
_OPTION = re.compile(r"^:(\w[\w-]*):\s*(.*)$")
_DASK = re.compile(r"^\s*(from|import)\s+(dask|distributed)\b", re.M)

# Runs a page's code in __main__ of a process started with -c: as in a notebook or a
# REPL, worker processes that are spawned do not run it again.
RUNNER = "import __main__, sys; p = sys.argv[1]; exec(compile(open(p).read(), p, 'exec'), __main__.__dict__)"


def printed_code(page: Path) -> str:
    """Every printed block of `page`, in order, as one program."""
    blocks = []
    for _, body in _BLOCK.findall(page.read_text(encoding="utf-8")):
        lines = body.splitlines(keepends=True)
        options = []
        while lines and _OPTION.match(lines[0]):
            options.append(lines.pop(0))
        if any("remove-cell" in o or "remove-input" in o for o in options):
            continue
        blocks.append("".join(lines))
    return "\n".join(blocks)


def needs_dask(code: str) -> bool:
    return bool(_DASK.search(code))


def run_page(python: str, page: Path, env: dict[str, str] | None = None, timeout: float = 600) -> subprocess.CompletedProcess:
    """The page's code run by `python` in a fresh temporary folder."""
    with tempfile.TemporaryDirectory(prefix=f"printed-{page.stem}-") as folder:
        script = Path(folder) / f"printed_{page.stem.replace('-', '_')}.py"  # never a module's name
        script.write_text(printed_code(page), encoding="utf-8")
        return subprocess.run([python, "-c", RUNNER, str(script)], cwd=folder, env=env, capture_output=True,
                              text=True, timeout=timeout)


if __name__ == "__main__":
    for name in sys.argv[1:]:
        done = run_page(sys.executable, Path(name).resolve())
        print(done.stdout, done.stderr, f"exit status {done.returncode}", sep="\n")
