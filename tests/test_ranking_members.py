"""How the ranking weighs what a symbol's place says of it: unit tests in a
module of tests inside a file of code, members copied with their
declaration and documentation onto sibling types, private members. Small
trees written here, indexed and ranked through the installed package."""

from __future__ import annotations

import pathlib

import pytest
import quibra
from helpers import write_tree

pytestmark = pytest.mark.host


def _results(root: pathlib.Path, query: str) -> list[dict[str, object]]:
    with quibra.Index(root, index_file=root / "index.sqlite", jobs=1) as index:
        return index.rank(query, budget=100_000)["results"]  # type: ignore[no-any-return]


def _rank(root: pathlib.Path, query: str) -> list[str]:
    return [str(entry["symbol"]) for entry in _results(root, query)]


RUST_WITH_TESTS = """
/// Splits a header line into its name and value.
pub fn split_header(line: &str) -> (&str, &str) {
    line.split_once(':').unwrap_or((line, ""))
}

#[cfg(test)]
mod tests {
    use super::*;

    #[test]
    fn split_header_line() {
        assert_eq!(split_header("a: b"), ("a", " b"));
    }
}
"""


@pytest.mark.parametrize(
    ("query", "first"),
    [
        # The test's name is what the query spells, yet the code comes first...
        ("split a header line", "split_header"),
        # ... unless the query asks for tests.
        ("the test of split header line", "tests::split_header_line"),
    ],
)
def test_a_module_of_tests_inside_a_file_of_code_is_test_code(tmp_path, query, first):
    write_tree(tmp_path, {"src/lib.rs": RUST_WITH_TESTS})
    assert _rank(tmp_path, query)[0] == first


PARSER_RS = """
pub struct Parser;
struct ParserI;

impl Parser {
    /// Parse the pattern into a syntax tree.
    pub fn parse(&mut self, pattern: &str) -> Tree {
        ParserI.parse()
    }
}

impl ParserI {
    /// Parse the pattern into a syntax tree.
    fn parse(&self) -> Tree {
        Tree
    }
}

/// The tree a pattern gives, and the syntax of its parts.
pub struct Tree;

/// The syntax of a pattern.
pub fn pattern_syntax() {}
"""


def test_a_wrapper_and_its_work_documented_alike_are_no_copies(tmp_path):
    # Declared apart, they are two answers: neither gives way to the tree type.
    write_tree(tmp_path, {"src/lib.rs": PARSER_RS})
    names = _rank(tmp_path, "parse the pattern into a syntax tree")
    assert max(names.index("Parser::parse"), names.index("ParserI::parse")) < names.index("Tree")


TYPED_ARRAYS = """
interface Int8Array {
    /** Sorts an array. */
    sort(compareFn?: (a: number, b: number) => number): Int8Array;
}
interface Uint8Array {
    /** Sorts an array. */
    sort(compareFn?: (a: number, b: number) => number): Uint8Array;
}
interface Float32Array {
    /** Sorts an array. */
    sort(compareFn?: (a: number, b: number) => number): Float32Array;
}
interface Array<T> {
    /**
     * Sorts an array in place, which it changes, and returns the same array, in the order
     * the function given decides, or in ascending order of the text of each value.
     */
    sort(compareFn?: (a: T, b: T) => number): this;
}
"""


def test_copies_of_a_member_give_way_to_other_answers(tmp_path):
    write_tree(tmp_path, {"lib.d.ts": TYPED_ARRAYS})
    names = _rank(tmp_path, "sort the elements of an array")
    # The first copy keeps its place; the next ones come after Array's own sort.
    assert names.index("Int8Array.sort") < names.index("Array.sort")
    assert names.index("Array.sort") < min(names.index("Uint8Array.sort"), names.index("Float32Array.sort"))


TOTAL_JAVA = """
package demo;

public class %s {
    /** Adds up the amounts of the order. */
    %s int total(int[] amounts) {
        return amounts.length;
    }
}
"""


def test_a_private_member_comes_after_a_public_one_that_matches_as_well(tmp_path):
    write_tree(
        tmp_path,
        {"demo/Basket.java": TOTAL_JAVA % ("Basket", "private"), "demo/Order.java": TOTAL_JAVA % ("Order", "public")},
    )
    assert _rank(tmp_path, "add up the amounts")[:2] == ["Order.total", "Basket.total"]


# The constructor interfaces of TypeScript's library: each declares `from`
# alike, documented alike, but returns the type it makes, which is named
# after the interface.
CONSTRUCTOR_INTERFACES = """
interface Int8ArrayConstructor {
    /** Creates an array from an array-like or iterable object. */
    from(arrayLike: ArrayLike<number>): Int8Array;
}
interface Uint8ArrayConstructor {
    /** Creates an array from an array-like or iterable object. */
    from(arrayLike: ArrayLike<number>): Uint8Array;
}
interface Float64ArrayConstructor {
    /** Creates an array from an array-like or iterable object. */
    from(arrayLike: ArrayLike<number>): Float64Array;
}
interface ArrayConstructor {
    /** Creates an array from an array-like object. */
    from<T>(arrayLike: ArrayLike<T>): T[];
}
"""


def test_copies_that_return_the_type_their_owner_makes_give_way_too(tmp_path):
    write_tree(tmp_path, {"lib.d.ts": CONSTRUCTOR_INTERFACES})
    names = _rank(tmp_path, "create an array from an array-like or iterable object")
    copies = ["Int8ArrayConstructor.from", "Uint8ArrayConstructor.from", "Float64ArrayConstructor.from"]
    first = min(names.index(name) for name in copies)
    assert first < names.index("ArrayConstructor.from") < max(names.index(name) for name in copies)


CLIENT_GO = """
package client

// %s sends a request and reads the answer.
func %s(url string) (string, error) {
	return url, nil
}
"""


@pytest.mark.parametrize(("exported", "unexported"), [("Fetch", "fetch"), ("Send", "send")])
def test_a_go_name_that_is_not_exported_comes_after_an_exported_one_that_matches_as_well(tmp_path, exported, unexported):
    # Go exports a name by its case alone: the lower-case one is the package's own helper.
    write_tree(
        tmp_path,
        {"client/a.go": CLIENT_GO % (unexported, unexported), "client/b.go": CLIENT_GO % (exported, exported)},
    )
    assert _rank(tmp_path, "send a request and read the answer")[:2] == [exported, unexported]


# TypeScript merges every declaration of one interface into one type, as its
# library does with `interface Array<T>` across a dozen files.
WIDGET_PART = """
/** A widget drawn on the screen, %s. */
interface Widget {
    %s(): void;
}
"""
GADGET = """
/** A gadget drawn on the screen. */
interface Gadget {
    draw(): void;
}
"""


def test_the_declarations_of_one_typescript_interface_count_as_one_answer(tmp_path):
    write_tree(
        tmp_path,
        {
            "a.d.ts": WIDGET_PART % ("shown", "show"),
            "b.d.ts": WIDGET_PART % ("hidden", "hide"),
            "c.d.ts": WIDGET_PART % ("moved", "move"),
            "d.d.ts": GADGET,
        },
    )
    order = [(entry["path"], entry["symbol"]) for entry in _results(tmp_path, "a widget or a gadget drawn on the screen")]
    # The first declaration keeps its place; the others come after a member
    # that matches less than they do, being parts of a type already given.
    assert order.index(("a.d.ts", "Widget")) < order.index(("d.d.ts", "Gadget.draw"))
    assert order.index(("d.d.ts", "Gadget.draw")) < min(order.index(("b.d.ts", "Widget")), order.index(("c.d.ts", "Widget")))
