"""`spinlattice-study sweep` as a script: `python examples/sweep.py --help` for what it does.

The toolkit comes with the module: pip install "spinlattice[studies]".
"""

import sys

from spinlattice_studies.cli import main

if __name__ == "__main__":
    sys.exit(main(["sweep", *sys.argv[1:]]))
