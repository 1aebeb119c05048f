"""python -m tarvix: the tarvix command."""

import sys

from tarvix.cli import main

sys.exit(main())
