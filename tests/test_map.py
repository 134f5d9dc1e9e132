"""The repository map: exactly what is printed counts against the budget, a
full budget is nearly filled, every symbol stands under its file and its
enclosing symbol, and the same tree gives the same bytes however its index
was built."""

from __future__ import annotations

import os
import pathlib
import shutil

import pytest
from helpers import STDLIB, quibra, quibra_json, write_tree

# The host's tests: the sanitizer build of the engine skips them (tools/sanitize).
pytestmark = pytest.mark.host



def printed_tokens(text: str) -> int:
    """Tokens of printed text, counted line by line: about four characters a token, newline included."""
    return sum(-(-(len(line) + 1) // 4) for line in text.splitlines())


def blocks(text: str) -> list[tuple[str, list[str]]]:
    """The map's text as (file line, symbol lines) pairs."""
    found: list[tuple[str, list[str]]] = []
    for line in text.splitlines():
        if line.startswith(" "):
            found[-1][1].append(line)
        else:
            found.append((line, []))
    return found


@pytest.fixture(scope="module")
def email_tree(tmp_path_factory) -> pathlib.Path:
    """A standard-library package, copied: the index is written beside the copy, never into the interpreter."""
    root = tmp_path_factory.mktemp("map") / "email"
    shutil.copytree(STDLIB / "email", root, ignore=shutil.ignore_patterns("__pycache__"))
    quibra("index", root)
    return root


@pytest.mark.parametrize("budget", [1, 9, 60, 300, 2000, 5000])
def test_map_counts_what_it_prints_and_fills_the_budget(email_tree, budget):
    report = quibra_json("map", email_tree, "--budget", budget)
    whole = quibra_json("map", email_tree, "--budget", 10**9)["total_tokens"]
    assert printed_tokens(report["map"]) == report["total_tokens"] <= budget
    assert report["total_tokens"] == sum(entry["tokens"] for entry in report["outline"])
    # A small budget may end in a gap that no short line of a shown file fits.
    if budget >= 300:
        assert whole > budget and report["total_tokens"] >= 0.98 * budget


def test_printed_map_is_the_report_map(email_tree):
    printed = quibra("map", email_tree, "--budget", 700, "--no-refresh").stdout
    assert printed == quibra_json("map", email_tree, "--budget", 700)["map"]


def test_every_symbol_stands_under_its_file_and_enclosing_symbol(email_tree):
    report = quibra_json("map", email_tree, "--budget", 3000)
    files = blocks(report["map"])
    assert len({header for header, _lines in files}) == len(files) == len(report["outline"])
    for (header, lines), entry in zip(files, report["outline"], strict=True):
        assert header == entry["file"] + ":" and lines == [symbol["text"] for symbol in entry["symbols"]]
        depths = [(len(line) - len(line.lstrip(" "))) // 2 - 1 for line in lines]
        assert depths[0] == 0
        # Each line is at most one level below the line before it: its parent is shown.
        assert all(after <= before + 1 for before, after in zip(depths, depths[1:]))
        assert [symbol["line"] for symbol in entry["symbols"]] == sorted(symbol["line"] for symbol in entry["symbols"])


def test_a_huge_budget_shows_every_symbol(email_tree):
    report = quibra_json("map", email_tree, "--budget", 2**64 - 1)
    assert sum(len(entry["symbols"]) for entry in report["outline"]) == report["symbols"]
    assert printed_tokens(report["map"]) == report["total_tokens"]


def test_what_the_package_is_built_around_comes_first(email_tree):
    outline = quibra_json("map", email_tree, "--budget", 600)["outline"]
    shown = {symbol["symbol"] for entry in outline for symbol in entry["symbols"]}
    # The package's documentation opens with its four parts: the object model, parser, generator and policy.
    assert {"Message", "Parser", "Generator", "Policy"} <= shown
    assert not any(name.split(".")[-1].startswith("_") for name in shown), shown


CORE_TREE = {
    "core/__init__.py": "",
    "core/model.py": (
        "class Model:\n"
        "    def __init__(self, **fields):\n        self.fields = fields\n\n"
        "    def save(self):\n        return _write(self)\n\n\n"
        "def _write(model):\n    return model\n\n\n"
        "def rarely_used():\n    return None\n"
    ),
    "tests/test_model.py": "from core.model import Model\n\n\ndef test_save():\n    Model().save()\n",
    **{
        f"app/view{number}.py": (
            f"from core.model import Model\n\n\ndef view{number}(request):\n"
            f"    item = Model()\n    item.save()\n    return item\n"
        )
        for number in range(4)
    },
}


def test_symbols_the_tree_uses_come_before_unused_private_dunder_and_test_ones(tmp_path):
    write_tree(tmp_path, CORE_TREE)
    outline = quibra_json("map", tmp_path, "--budget", 10_000)["outline"]
    order = [symbol["symbol"] for entry in outline for symbol in entry["symbols"]]
    # Files come in the order of their best symbol: the model's file first, tests last.
    assert outline[0]["path"] == "core/model.py" and outline[-1]["path"] == "tests/test_model.py"
    importance = {symbol["symbol"]: symbol["importance"] for entry in outline for symbol in entry["symbols"]}
    assert importance["Model"] > importance["rarely_used"] and importance["Model.save"] > importance["rarely_used"]
    small = quibra_json("map", ".", "--budget", 12, cwd=tmp_path)["outline"]
    assert [symbol["symbol"] for entry in small for symbol in entry["symbols"]] == ["Model"]
    assert set(order) >= {"Model.__init__", "_write", "test_save"}


def test_importance_is_the_same_however_the_index_was_built(tmp_path):
    tree = tmp_path / "tree"
    write_tree(tree, CORE_TREE)
    quibra("index", tree)
    (tree / "app/view9.py").write_text("from core.model import Model\n\n\ndef view9():\n    return Model()\n")
    (tree / "app/view0.py").unlink()
    stepwise = quibra_json("map", tree, "--budget", 10_000)["outline"]
    shutil.rmtree(tree / ".quibra")
    assert quibra_json("map", tree, "--budget", 10_000)["outline"] == stepwise


def test_same_map_however_the_index_was_built(tmp_path):
    """An index refreshed in steps gives its rows other ids than one built at
    once; the map must not depend on them."""
    stepwise = tmp_path / "stepwise"
    shutil.copytree(STDLIB / "email", stepwise, ignore=shutil.ignore_patterns("__pycache__"))
    moved = sorted(stepwise.rglob("*.py"))[::2]
    for number, path in enumerate(moved):
        path.rename(tmp_path / f"moved{number}.py")
    quibra("index", stepwise)
    for number, path in reversed(list(enumerate(moved))):
        (tmp_path / f"moved{number}.py").rename(path)
        quibra("index", stepwise)
    at_once = tmp_path / "at_once"
    shutil.copytree(stepwise, at_once, ignore=shutil.ignore_patterns(".quibra"))
    for budget in (500, 2000):
        first = quibra("map", ".", "--budget", budget, cwd=stepwise).stdout
        assert first == quibra("map", ".", "--budget", budget, cwd=at_once).stdout
        assert first == quibra("map", ".", "--budget", budget, cwd=stepwise).stdout


# ---------------------------------------------------------------------------
# Focus

FOCUS_TREE = {
    "core/__init__.py": "",
    "app/__init__.py": "",
    "tools/__init__.py": "",
    "core/base.py": "def base_helper(value):\n    return value\n",
    "app/models.py": "from core.base import base_helper\n\n\nclass Model:\n    def save(self):\n        return base_helper(self)\n",
    "app/views.py": "from app.models import Model\n\n\ndef render_view(request):\n    return Model()\n",
    "app/forms.py": "from core.base import base_helper\n\n\ndef clean_form(data):\n    return base_helper(data)\n",
    "tools/report.py": "from core.base import base_helper\n\n\ndef print_report(rows):\n    return base_helper(rows)\n",
}


def test_focus_then_what_it_imports_and_what_imports_it_come_first(tmp_path):
    write_tree(tmp_path, FOCUS_TREE)
    plain = [entry["path"] for entry in quibra_json("map", tmp_path, "--budget", 1000)["outline"]]
    assert plain[0] == "core/base.py"  # imported by every other file
    focused = quibra_json("map", tmp_path, "--budget", 1000, "--focus", tmp_path / "app/models.py")
    order = [entry["path"] for entry in focused["outline"]]
    assert order[0] == "app/models.py" and focused["outline"][0]["focus"]
    assert set(order[1:3]) == {"core/base.py", "app/views.py"}
    assert set(order[3:]) == {"app/forms.py", "tools/report.py"}
    assert focused["focus"] == ["app/models.py"]


def test_focus_paths_are_relative_to_the_current_folder(tmp_path):
    write_tree(tmp_path, FOCUS_TREE)
    report = quibra_json("map", "..", "--focus", "views.py", cwd=tmp_path / "app")
    # Shown as grep shows what it finds under "..".
    assert report["outline"][0]["path"] == "app/views.py" and report["outline"][0]["file"] == "../app/views.py"


@pytest.mark.parametrize(
    "focus, message",
    [
        ("../outside.py", "is outside the tree"),
        ("/etc/passwd", "is outside the tree"),
        ("escape.py", "is outside the tree"),  # a link that leads out
        ("missing.py", "not a source file of the index: missing.py"),
        ("notes.txt", "not a source file of the index: notes.txt"),
        ("core", "not a source file of the index: core"),
    ],
)
def test_a_focus_that_is_no_source_file_of_the_tree_is_refused_in_one_line(tmp_path, focus, message):
    root = tmp_path / "tree"
    write_tree(root, {**FOCUS_TREE, "notes.txt": "notes\n"})
    (tmp_path / "outside.py").write_text("def outside():\n    pass\n")
    (root / "escape.py").symlink_to(tmp_path / "outside.py")
    completed = quibra("map", ".", "--focus", focus, cwd=root, expect=1)
    assert completed.stdout == "" and message in completed.stderr
    assert completed.stderr.startswith("quibra map: error: ") and completed.stderr.count("\n") == 1


# ---------------------------------------------------------------------------
# Within a file, and odd trees


@pytest.mark.parametrize(
    "name, source",
    [
        ("lib.py", "def _helper():\n    pass\n\n\ndef public_entry():\n    pass\n"),
        ("lib.go", "package lib\n\nfunc helper() {}\n\nfunc PublicEntry() {}\n"),
        ("lib.rs", "fn helper() {}\n\npub fn public_entry() {}\n"),
    ],
)
def test_a_tight_budget_shows_the_public_symbol_of_a_file(tmp_path, name, source):
    write_tree(tmp_path, {name: source})
    report = quibra_json("map", ".", "--budget", 10, cwd=tmp_path)
    shown = [symbol["symbol"] for entry in report["outline"] for symbol in entry["symbols"]]
    assert shown in (["public_entry"], ["PublicEntry"])


def test_odd_file_names_print_on_one_line_and_count_as_printed(tmp_path):
    write_tree(tmp_path, {"plain.py": "def plain():\n    pass\n"})
    odd = os.fsencode(tmp_path) + b"/caf\xe9 \n\tname.py"
    with open(odd, "wb") as stream:
        stream.write(b"def odd_one(value):\n    return value\n")
    report = quibra_json("map", ".", "--budget", 100, cwd=tmp_path)
    headers = [header for header, _lines in blocks(report["map"])]
    assert "caf\\xe9 \\n\\tname.py:" in headers
    assert printed_tokens(report["map"]) == report["total_tokens"] and len(headers) == 2


def test_lang_limits_the_map_to_those_languages(tmp_path):
    write_tree(tmp_path, {"main.go": "package main\n\nfunc Serve() {}\n", "app.py": "def serve():\n    pass\n"})
    report = quibra_json("map", tmp_path, "--lang", "go")
    assert [entry["path"] for entry in report["outline"]] == ["main.go"]


def test_a_tree_without_symbols_has_an_empty_map(tmp_path):
    write_tree(tmp_path, {"empty.py": "x = 1\n"})
    assert quibra("map", tmp_path).stdout == "no symbol to show\n"
    report = quibra_json("map", tmp_path)
    assert report["map"] == "" and report["total_tokens"] == 0 and report["outline"] == []
