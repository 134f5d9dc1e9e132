"""`python -m quibra` runs the same command as the `quibra` console script."""

import sys

from quibra.cli import main

sys.exit(main())
