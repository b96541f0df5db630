"""``python -m spinlattice_studies``: the same as the ``spinlattice-study`` command."""

import sys

from .cli import main

sys.exit(main())
