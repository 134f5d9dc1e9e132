"""A path a user names (a focus file, a symbol id) is a path of the tree or refused;
an index goes where its tree can hold it; text costs tokens by one rule."""

from __future__ import annotations

import os
import pathlib

import pytest
from helpers import write_tree

import quibra
from quibra.index import location
from quibra.index.storage import IndexUnusable
from quibra.ranking.rank import block_tokens
from quibra.ranking.repomap import line_tokens
from quibra.ranking.source import symbol_leaves_tree, symbol_paths
from quibra.tree.files import NotInTree, tree_relative
from quibra.tree.languages.model import tokens_of_characters

pytestmark = pytest.mark.host


@pytest.fixture
def tree(tmp_path: pathlib.Path) -> pathlib.Path:
    root = tmp_path / "tree"
    write_tree(root, {"app/models.py": "x = 1\n", "core/base.py": "y = 2\n"})
    (tmp_path / "outside.py").write_text("z = 3\n")
    (root / "escape.py").symlink_to(tmp_path / "outside.py")
    (root / "alias.py").symlink_to(root / "app" / "models.py")
    (root / "out").symlink_to(tmp_path)
    (root / "loop").symlink_to(root)
    return root


@pytest.mark.parametrize(
    "given, expected",
    [
        ("app/models.py", "app/models.py"),
        ("./app//models.py", "app/models.py"),
        ("app/missing.py", "app/missing.py"),  # no file: for the index to say so
        ("core/base.py/inner", "core/base.py/inner"),
        (".", "."),
    ],
)
def test_a_path_of_the_tree_is_given_from_its_root(tree, given, expected):
    assert tree_relative(tree, given) == expected
    assert tree_relative(tree, os.path.join(tree, given)) == expected


def test_a_tree_named_through_a_link_still_holds_its_paths(tree, tmp_path):
    (tmp_path / "named").symlink_to(tree)
    assert tree_relative(tree, tmp_path / "named" / "app" / "models.py") == "app/models.py"
    assert tree_relative(tmp_path / "named", tree / "core" / "base.py") == "core/base.py"


@pytest.mark.parametrize(
    "given",
    [
        "../outside.py",
        "app/../core/base.py",
        "escape.py",  # a link out of the tree
        "alias.py",  # a link to a file of the tree: no link is followed
        "out/outside.py",
        "loop/app/models.py",
        "/etc/passwd",
    ],
)
def test_a_path_out_of_the_tree_or_through_a_link_is_refused(tree, given):
    with pytest.raises(NotInTree, match="is outside the tree"):
        tree_relative(tree, given)


def test_an_absolute_path_through_a_link_of_the_tree_is_refused(tree):
    with pytest.raises(NotInTree, match="is outside the tree"):
        tree_relative(tree, tree / "loop" / "app" / "models.py")


def test_a_nul_byte_is_refused_before_anything_is_looked_at(tree):
    with pytest.raises(NotInTree, match="NUL byte"):
        tree_relative(tree, "app/models.py\0../../etc/passwd")


@pytest.mark.parametrize(
    "symbol_id, readings",
    [
        ("app/models.py:Model", [("app/models.py", "Model")]),
        ("src/lib.rs:Parser::parse", [("src/lib.rs:Parser:", "parse"), ("src/lib.rs:Parser", ":parse"),
                                     ("src/lib.rs", "Parser::parse")]),
        ("../../etc/passwd:root", []),
        ("/etc/passwd:root", []),
        ("a/../b.py:f", []),
    ],
)
def test_a_symbol_id_is_read_only_with_a_path_of_the_tree(symbol_id, readings):
    assert symbol_paths(symbol_id) == readings
    assert symbol_leaves_tree(symbol_id) == (not readings)


@pytest.mark.parametrize("symbol_id, leaves", [("plain_name", False), ("/etc/passwd", True), ("..", True)])
def test_a_symbol_id_without_a_colon_is_all_path(symbol_id, leaves):
    assert symbol_leaves_tree(symbol_id) == leaves


def test_an_index_nowhere_to_go_is_refused_in_one_line(tmp_path, monkeypatch):
    root = tmp_path / "tree"
    write_tree(root, {"app.py": "def main():\n    pass\n"})
    (root / ".quibra").write_text("not a folder\n")  # the tree cannot hold it
    (tmp_path / "blocked").write_text("a file where the cache folder's parent should be\n")
    monkeypatch.setattr(location, "cache_folder", lambda: tmp_path / "blocked" / "quibra")
    with pytest.raises(IndexUnusable, match="cannot create the cache folder"):
        location.default_index_path(root)
    with pytest.raises(quibra.QuibraError, match="cannot create the cache folder") as raised:
        quibra.Index(root)
    assert "\n" not in str(raised.value)


def test_every_count_of_characters_costs_what_it_always_did():
    for count in range(0, 200):
        assert tokens_of_characters(count) == max(1, -(-count // 4))
    for header in ("a.py:1-2", "x" * 37):
        for chars in range(0, 50):
            assert block_tokens(header, chars) == max(1, -(-(len(header) + chars + 3) // 4))
    for length in range(0, 50):
        assert line_tokens("y" * length) == -(-(length + 1) // 4)


@pytest.mark.parametrize(
    ("path", "role"),
    [
        ("src/lib.rs", "code"),
        ("pkg/benchmark_utils.py", "code"),  # a name, not a folder of benchmarks
        ("src/examples.rs", "code"),
        ("internal/poll/fd.go", "code"),  # Go's internal packages are the code itself
        ("tests/test_store.py", "test"),
        ("src/test/java/AppTest.java", "test"),
        ("net/http/server_test.go", "test"),
        ("benches/combinations.rs", "auxiliary"),
        ("bench/quality.py", "auxiliary"),
        ("examples/basic/main.go", "auxiliary"),
        ("build.rs", "auxiliary"),
        ("crate/build.rs", "auxiliary"),
        ("vendor/github.com/x/y.go", "auxiliary"),
        ("third_party/zlib/inflate.c", "auxiliary"),
        ("src/private/de.rs", "auxiliary"),
        ("encoding/json/bench_test.go", "test"),
        ("pkg/sort_bench.go", "auxiliary"),
    ],
)
def test_a_path_says_what_its_file_holds(path, role):
    from quibra.tree.walk import AUXILIARY, CODE, TEST, path_role

    assert path_role(path) == {"code": CODE, "test": TEST, "auxiliary": AUXILIARY}[role]
