"""Pure-Python fallbacks of the _quibra_core functions.

Written as a host would write them for installations without the compiled
module: straightforward, faithful to the same results. They serve as the
benchmarks' peers and as test oracles.
"""

from __future__ import annotations
