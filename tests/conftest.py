import os
import pathlib
import sys

from hypothesis import HealthCheck, Phase, settings

# The pure-Python fallbacks in bench/ serve as test oracles.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "bench"))

# "ci" keeps the generated tests to about a minute on a small shared machine;
# "long" is for a deliberate run: HYPOTHESIS_PROFILE=long python -m pytest ...
_relaxed = dict(
    deadline=None,
    phases=[p for p in Phase if p is not Phase.explain],
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
settings.register_profile("ci", max_examples=500, **_relaxed)
settings.register_profile("long", max_examples=25000, **_relaxed)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))
