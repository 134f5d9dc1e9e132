"""`python -m quibra` runs the same command as the `quibra` console script."""

import sys

from quibra.interfaces.cli.main import main

sys.exit(main())
