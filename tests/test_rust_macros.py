"""Rust items written inside macros: the bodies of macro calls that take
items (`cfg_if!`, `declare_error_trait! { pub trait Error ... }`) and the
templates of `macro_rules!`, read again as Rust where they are items, with
the lines, containers and doc comments they have in the file."""

from __future__ import annotations

import textwrap
from pathlib import Path

import pytest
import quibra as api
from hypothesis import given, settings
from hypothesis import strategies as st
from quibra.index.extract import identity_name
from quibra.tree.languages import read_source
from quibra.tree.languages.model import SkipFile, Symbol
from quibra.tree.languages.syntax import MAX_EMBEDDED_DEPTH

pytestmark = pytest.mark.host

CARGO_REGISTRY = Path("/usr/share/cargo/registry")


def _source(text: str) -> bytes:
    return textwrap.dedent(text).lstrip("\n").encode()


def symbols_of(text: str) -> dict[str, Symbol]:
    return {symbol.qualname: symbol for symbol in read_source("rust", "lib.rs", _source(text)).symbols}


def line_of(text: str, fragment: str) -> int:
    """The 1-based line of the first line of `text` that holds `fragment`."""
    lines = textwrap.dedent(text).lstrip("\n").split("\n")
    return next(number for number, line in enumerate(lines, 1) if fragment in line)


ERROR_TRAIT = """
    use std::fmt::{Debug, Display};

    macro_rules! declare_error_trait {
        (Error: Sized $(+ $($supertrait:ident)::+)*) => {
            /// The error a serializer gives back.
            pub trait Error: Sized $(+ $($supertrait)::+)* {
                /// Used when a value cannot be serialized.
                fn custom<T>(msg: T) -> Self
                where
                    T: Display;
            }
        };
    }

    declare_error_trait! {
        /// What every error of this crate is.
        pub trait Failure: Debug {
            /// Says what went wrong.
            fn describe(&self) -> String {
                if self.is_fatal() { "fatal".into() } else { "recoverable".into() }
            }
        }
    }

    mod sys {
        cfg_if::cfg_if! {
            if #[cfg(unix)] {
                pub fn open_unix(path: &str) -> i32 { 0 }
            } else {
                pub fn open_windows(path: &str) -> i32 { 1 }
            }
        }
    }

    pub struct Buffer(Vec<u8>);

    impl Buffer {
        forward_to_inner! {
            /// How many bytes it holds.
            pub fn len(&self) -> usize { self.0.len() }
        }
    }

    make_items!(fn generated_helper(a: u8, b: u8) -> u8 { a + b });

    macro_rules! impl_display {
        ($($t:ty),*) => {
            $(
                impl Display for $t {
                    fn fmt(&self, f: &mut Formatter) -> fmt::Result { write!(f, "{}", self.0) }
                }
            )*
        };
    }

    macro_rules! newtype {
        ($name:ident) => {
            pub struct $name(u32);
            impl $name {
                pub fn new(value: u32) -> Self { $name(value) }
                fn $name() {}
            }
        };
    }
"""

# (qualname, kind, the text of its definition's line, the text of its first line, its docstring)
EXPECTED = [
    ("Error", "trait", "pub trait Error", "/// The error a serializer", "The error a serializer gives back."),
    ("Error::custom", "method", "fn custom<T>", "/// Used when a value", "Used when a value cannot be serialized."),
    ("Failure", "trait", "pub trait Failure", "/// What every error", "What every error of this crate is."),
    ("Failure::describe", "method", "fn describe", "/// Says what went wrong", "Says what went wrong."),
    ("sys::open_unix", "function", "fn open_unix", "fn open_unix", ""),
    ("sys::open_windows", "function", "fn open_windows", "fn open_windows", ""),
    ("Buffer::len", "method", "pub fn len", "/// How many bytes", "How many bytes it holds."),
    ("generated_helper", "function", "fn generated_helper", "fn generated_helper", ""),
    # A template's type is a metavariable: its members stand under it.
    ("$t::fmt", "method", "fn fmt(", "fn fmt(", ""),
    ("$name::new", "method", "pub fn new", "pub fn new", ""),
]


@pytest.mark.parametrize(("qualname", "kind", "line", "first_line", "docstring"), EXPECTED, ids=[e[0] for e in EXPECTED])
def test_items_inside_macros_are_symbols_where_they_stand(qualname, kind, line, first_line, docstring):
    symbol = symbols_of(ERROR_TRAIT)[qualname]
    assert (symbol.kind, symbol.line, symbol.start_line, symbol.docstring) == (
        kind,
        line_of(ERROR_TRAIT, line),
        line_of(ERROR_TRAIT, first_line),
        docstring,
    )


def test_what_a_macro_body_holds_counts_as_code():
    symbols = symbols_of(ERROR_TRAIT)
    describe = symbols["Failure::describe"]
    assert describe.cyclomatic == 2 and describe.end_line == line_of(ERROR_TRAIT, "fn describe") + 2
    assert symbols["generated_helper"].param_count == 2
    assert symbols["Failure"].end_line == line_of(ERROR_TRAIT, "fn describe") + 3


def test_names_a_metavariable_stands_for_are_no_symbols_and_no_uses():
    extract = read_source("rust", "lib.rs", _source(ERROR_TRAIT))
    assert not [symbol for symbol in extract.symbols if "$" in symbol.name]
    # A template's constructor is called by its own name: its type's is not known yet.
    assert identity_name(symbols_of(ERROR_TRAIT)["$name::new"]) == "new"
    # `$name`, `$t` and `$supertrait` name nothing yet; Display and Formatter are used.
    used = {reference.name for reference in extract.references}
    assert not used & {"name", "t", "supertrait"}
    assert {"Display", "Formatter", "Debug"} <= used


def test_a_call_in_a_macro_body_is_qualified_as_the_code_reads():
    extract = read_source("rust", "lib.rs", _source(ERROR_TRAIT))
    calls = {(reference.name, reference.qualifier, reference.arity) for reference in extract.references if reference.kind == "call"}
    assert ("len", "self.0", 0) in calls
    assert ("is_fatal", "self", 0) in calls


@pytest.mark.parametrize(
    "text",
    [
        # Not items: statics of a DSL, a flag syntax, tokens around items.
        "lazy_static! {\n    static ref TABLE: Vec<u8> = build();\n}\n",
        "bitflags! {\n    pub struct Flags: u32 {\n        const A = 1;\n    }\n}\n",
        "wrap! {\n    fn lost() {}\n    some tokens here\n}\n",
        # In a function's body, a macro is an expression.
        "fn outer() {\n    run! { fn lost() {} }\n}\n",
    ],
    ids=["statics", "flags", "tokens", "in-a-body"],
)
def test_a_body_that_is_not_items_gives_nothing(text):
    names = {symbol.name for symbol in read_source("rust", "lib.rs", text.encode()).symbols}
    assert names <= {"outer"}


@pytest.mark.parametrize("levels", range(1, MAX_EMBEDDED_DEPTH + 3))
def test_macros_in_macros_are_read_to_a_bounded_depth(levels):
    text = "".join(f"{'    ' * level}m{level}! {{\n{'    ' * level}    fn f{level}() {{}}\n" for level in range(levels))
    text += "".join(f"{'    ' * level}}}\n" for level in reversed(range(levels)))
    names = {symbol.name for symbol in read_source("rust", "lib.rs", text.encode()).symbols}
    assert names == {f"f{level}" for level in range(min(levels, MAX_EMBEDDED_DEPTH))}


_TOKENS = ["fn", "struct", "impl", "mod", "pub", "$name", "$crate", ";", "::", "f", "T", "<", ">", "->", ":", ",",
           "/// doc\n", "\n", "#[cfg(x)]", "m!", "=>"]
# Token trees as a macro's body holds them: delimiters balanced, repetitions anywhere.
_TREES = st.recursive(
    st.sampled_from(_TOKENS),
    lambda inner: st.tuples(
        st.sampled_from([("{", "}"), ("(", ")"), ("[", "]"), ("$(", ")*"), ("$(", "),*")]), st.lists(inner, max_size=6)
    ).map(lambda group: f"{group[0][0]} {' '.join(group[1])} {group[0][1]}"),
    max_leaves=40,
)


@settings(max_examples=150, deadline=None)
@given(st.lists(_TREES, max_size=8), st.booleans())
def test_any_macro_body_reads_without_error_and_within_the_file(trees, template):
    body = " ".join(trees)
    text = f"macro_rules! m {{ ($name:ident) => {{ {body} }}; }}\n" if template else f"m! {{ {body} }}\n"
    source = f"fn before() {{}}\n{text}fn after() {{}}\n".encode()
    symbols = read_source("rust", "lib.rs", source).symbols
    lines = source.count(b"\n") + 1
    assert {"before", "after"} <= {symbol.qualname for symbol in symbols}
    for symbol in symbols:
        assert 1 <= symbol.start_line <= symbol.line <= symbol.end_line <= lines
        assert symbol.name and not symbol.name.startswith("$")


def _read_wrapped(path: Path) -> tuple[list[tuple], list[tuple]] | None:
    """A file's symbols as they are, and as they are when the whole file is the
    body of a macro call one line lower: the same, but for that line."""
    source = path.read_bytes()
    if b"#![" in source:  # inner attributes belong at the top of a file
        return None
    try:
        plain = read_source("rust", path.name, source).symbols
        wrapped = read_source("rust", path.name, b"wrap! {\n" + source + b"\n}\n").symbols
    except SkipFile:
        return None

    def facts(symbols: list[Symbol], shift: int) -> list[tuple]:
        return [
            (s.qualname, s.kind, s.line - shift, s.start_line - shift, s.end_line - shift, s.depth, s.cyclomatic,
             s.max_nesting, s.param_count, s.signature, s.docstring)
            for s in symbols
        ]

    return facts(plain, 0), facts(wrapped, 1)


@pytest.mark.skipif(not CARGO_REGISTRY.is_dir(), reason="no Rust crates: apt-get install librust-regex-syntax-dev")
def test_a_crate_reads_the_same_from_inside_a_macro_call():
    files = sorted(CARGO_REGISTRY.glob("*/src/**/*.rs"))
    compared = 0
    for path in files:
        read = _read_wrapped(path)
        if read is None:
            continue
        plain, wrapped = read
        assert wrapped == plain, path
        compared += len(plain)
    assert compared > 100


ITERTOOLS = CARGO_REGISTRY / "itertools-0.10.3"


@pytest.mark.skipif(not ITERTOOLS.is_dir(), reason="apt-get install librust-itertools-dev")
@pytest.mark.parametrize(
    ("path", "qualname", "definition"),
    [
        # `impl_zip_iter!`'s template implements Iterator for Zip of every tuple.
        ("src/ziptuple.rs", "Zip::next", "fn next(&mut self)"),
        ("src/ziptuple.rs", "Zip::from", "fn from(t: ($($B,)*)) -> Self"),
        # `impl_format!` implements each formatting trait for Format.
        ("src/format.rs", "Format::fmt", "fn fmt(&self, f: &mut fmt::Formatter) -> fmt::Result"),
        # `quickcheck! { fn ... }` holds the crate's property tests.
        ("tests/quick.rs", "size_step", "fn size_step("),
    ],
)
def test_itertools_items_written_in_macros(path, qualname, definition):
    source = (ITERTOOLS / path).read_text()
    symbol = next(s for s in read_source("rust", path, source.encode()).symbols if s.qualname == qualname)
    assert definition in source.split("\n")[symbol.line - 1]


def test_the_index_ranks_and_resolves_items_declared_in_a_macro(tmp_path):
    tree = tmp_path / "crate"
    (tree / "src").mkdir(parents=True)
    (tree / "Cargo.toml").write_text('[package]\nname = "demo"\n')
    (tree / "src" / "lib.rs").write_text(textwrap.dedent(ERROR_TRAIT).lstrip("\n") + "\nmod codec;\n")
    (tree / "src" / "codec.rs").write_text(
        "use crate::Failure;\n\npub struct Broken;\n\nimpl Failure for Broken {}\n\n"
        "pub fn report(error: &dyn Failure) -> String {\n    error.describe()\n}\n"
    )
    with api.Index(tree, index_file=tmp_path / "index.sqlite", jobs=1) as index:
        ranked = index.rank("describe what went wrong", budget=2000)["results"]
        report = index.refs("Failure")
    assert ranked[0]["symbol_id"] == "src/lib.rs:Failure::describe"
    assert [entry["line"] for entry in report["definitions"]] == [line_of(ERROR_TRAIT, "pub trait Failure")]
    assert {(entry["path"], entry["line"]) for entry in report["references"]} >= {("src/codec.rs", 1), ("src/codec.rs", 5)}
