"""Prints the requirements of one optional extra of pyproject.toml, one a line:
python tools/requirements.py EXTRA"""

import sys
import tomllib
from pathlib import Path

with open(Path(__file__).resolve().parents[1] / "pyproject.toml", "rb") as f:
    print(*tomllib.load(f)["project"]["optional-dependencies"][sys.argv[1]], sep="\n")
