"""The README's reference examples run as doctests, so they stay true."""

import doctest
import pathlib
import re

import _quibra_core as q
import pytest

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


@pytest.mark.host
def test_python_api_example_runs(tmp_path, capsys):
    """The README's example of the Python API, run on a small repository."""
    import subprocess

    example = next(
        block for block in re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.S)
        if "quibra.Index" in block
    )
    tree = tmp_path / "tree"
    tree.mkdir()
    (tree / "cli.py").write_text(
        "import argparse\n\n\ndef parse_arguments(argv):\n"
        "    '''Parse the command line arguments.'''\n    return argparse.ArgumentParser().parse_args(argv)\n"
    )
    for command in (["init", "-q"], ["add", "."], ["commit", "-q", "-m", "start"]):
        subprocess.run(
            ["git", "-c", "user.name=T", "-c", "user.email=t@example.com", *command], cwd=tree, check=True
        )
    exec(compile(example.replace("path/to/tree", str(tree)), "README.md", "exec"), {})
    assert "cli.py 4 parse_arguments" in capsys.readouterr().out
