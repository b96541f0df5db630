"""`spinlattice-study critical` as a script: `python examples/critical.py --help` for what it does.

The toolkit comes with the module: pip install "spinlattice[studies]".
"""

import sys

from spinlattice_studies.cli import main

if __name__ == "__main__":
    sys.exit(main(["critical", *sys.argv[1:]]))
