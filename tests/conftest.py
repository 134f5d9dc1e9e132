import pathlib
import sys

# The pure-Python fallbacks in bench/ serve as test oracles.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "bench"))
