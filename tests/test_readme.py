"""The README's reference examples run as doctests, so they stay true."""

import doctest
import pathlib
import re

import _quibra_core as q

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def test_reference_examples():
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.S)
    examples = [block for block in blocks if ">>>" in block]
    assert len(examples) >= 7
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    for number, block in enumerate(examples):
        test = parser.get_doctest(block, {"q": q}, f"README example {number}", str(README), 0)
        runner.run(test)
    assert runner.failures == 0 and runner.tries >= 7
