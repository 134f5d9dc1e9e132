"""The references benchmark's own logic (bench/refs.py): which uses it
measures, how a location of quibra's is counted, and that jedi and quibra
are asked about the same places on a small written package. (The figures
themselves are the benchmark's output, not something a test pins down.)"""

from __future__ import annotations

import textwrap

import pytest
import quibra
from helpers import write_tree

# The benchmark and its peer come with the bench extra.
jedi = pytest.importorskip("jedi")
refs = pytest.importorskip("refs")

pytestmark = pytest.mark.host


@pytest.mark.parametrize(
    ("source", "expected"),
    [
        ("f(1)\nm.g()\nx.h()\n", {(1, "f"): {"call"}, (2, "g"): {"call"}, (3, "h"): {"call"}}),
        ("@deco\n@m.wrap\ndef f(a: T) -> m.U:\n    pass\n",
         {(1, "deco"): {"call"}, (2, "wrap"): {"call"}, (3, "T"): {"type"}, (3, "U"): {"type"}}),
        ("from .a import b\nimport c.d\nclass K(Base, metaclass=Meta): pass\n",
         {(1, "b"): {"import"}, (2, "d"): {"import"}, (3, "Base"): {"type"}, (3, "Meta"): {"type"}}),
        # Reads that call nothing are no measured use.
        ("y = f\nisinstance(y, K)\n", {(2, "isinstance"): {"call"}}),
    ],
)
def test_the_syntax_of_each_use(source, expected):
    assert dict(refs.syntax_of(textwrap.dedent(source).encode())) == expected


@pytest.mark.parametrize(
    ("weights", "counted"),
    [
        ({"a": 1.0}, {"a"}),
        ({"a": 0.6667, "b": 0.3333}, {"a"}),
        ({"a": 0.5, "b": 0.5}, set()),  # a tie at the top singles out nothing
        ({"a": 1.0, "b": 1.0}, {"a", "b"}),  # two sure references on one line
    ],
)
def test_a_location_counts_for_its_best_weighted_target(weights, counted):
    entries = [{"path": "p.py", "line": 3, "target": target, "weight": weight} for target, weight in weights.items()]
    assert refs.best_targets(entries) == {("p.py", 3): counted}


TREE = {
    "pkg/__init__.py": "from .util import helper\n",
    "pkg/util.py": """\
        def helper(x):
            return x


        class Box:
            def open(self):
                return helper(1)
        """,
    "pkg/app.py": """\
        from pkg import helper
        from .util import Box


        def main(box: Box):
            box.open()
            return helper(2)
        """,
}


def test_jedi_and_quibra_are_asked_about_the_same_places(tmp_path):
    holder = tmp_path / "holder"
    write_tree(holder, TREE)
    root = holder / "pkg"
    definitions = {d.qualname: d for d in refs.read_definitions(root)}
    assert {name: d.is_method for name, d in definitions.items()} == {
        "helper": False, "Box": False, "Box.open": True, "main": False
    }
    project = jedi.Project(holder, sys_path=[str(holder)], smart_sys_path=False)
    with quibra.Index(root, index_file=tmp_path / "index.sqlite", jobs=1) as index:
        index.refresh()
        side = refs.QuibraSide(index)
        for qualname, expected in [
            ("helper", {("__init__.py", 1), ("util.py", 7), ("app.py", 1), ("app.py", 7)}),
            ("Box", {("app.py", 2), ("app.py", 5)}),
            ("Box.open", {("app.py", 6)}),
        ]:
            definition = definitions[qualname]
            want = {(path, line, definition.name) for path, line in expected}
            assert refs.jedi_locations(project, root, definition) == want
            assert side.locations(definition) == want
