"""Corpora in Go, Rust, JavaScript, TypeScript and Java, with doc comments as queries.

The counterpart of quality_corpus.py for languages whose documentation is a
comment above the definition rather than a string inside it. Each corpus is
part of a Debian package's sources (Go's standard library, three crates, lodash,
TypeScript's library declarations, the JDK), copied into a scratch folder.
From the copy come:

- the symbols every ranker ranks: all that quibra's reader for the language
  yields from the files it would index, with the reader's lines;
- the doc-comment queries: the first sentence of a function's or method's doc
  comment, as the reader attaches it, with that function as the one right
  answer (see `query_from_doc_comment` for what is taken out of it);
- a second copy with every doc comment emptied, its markers and line breaks
  kept, which the queries are run against. What counts as a doc comment is
  the language's own rule (`DOC_COMMENT_RULES`); the reader then has to find
  the same symbols at the same lines, each with an empty docstring.
"""

from __future__ import annotations

import fnmatch
import html
import re
import shutil
import zipfile
from collections import Counter
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING

import tree_sitter
import tree_sitter_go
import tree_sitter_java
import tree_sitter_javascript
import tree_sitter_rust
import tree_sitter_typescript
from quality_corpus import (
    MAX_QUERY_WORDS,
    MIN_QUERY_WORDS,
    NOT_PROSE,
    CorpusError,
    DocstringQuery,
    Symbol,
    first_sentence,
)

if TYPE_CHECKING:
    from quibra.tree.languages.model import Symbol as ReaderSymbol


class PackageMissing(CorpusError):
    """The Debian package that installs a corpus is not installed."""


CALLABLE_KINDS = frozenset({"function", "method"})

# Folders and file names of tests and test data: they stay in the trees but give no queries.
TEST_FOLDER_NAMES = frozenset({"test", "tests", "testdata", "__tests__"})
_TEST_FILE = re.compile(r"(_test\.go|\.(test|spec)\.[jt]sx?|Tests?\.java)$|^test_")


def is_test_path(path: str) -> bool:
    *folders, name = path.split("/")
    return any(folder in TEST_FOLDER_NAMES for folder in folders) or _TEST_FILE.search(name) is not None


# --- Corpora -------------------------------------------------------------------------------------


@dataclass(frozen=True)
class PackageCorpus:
    """Part of the sources a Debian package installs, as one tree."""

    name: str
    language: str  # as quibra names it: "go", "rust", "javascript", "typescript", "java"
    package: str  # the Debian package
    source: Path  # the folder, or the zip archive, that the package installs
    members: tuple[str, ...]  # glob patterns under `source`: folders are taken whole
    excluded: tuple[str, ...] = ()  # patterns of member paths left out

    def origin(self) -> str:
        return f"{self.source} (Debian package {self.package})"

    def copy_to(self, destination: Path) -> None:
        """Copy the corpus's members into `destination`, keeping their paths under `source`."""
        if not self.source.exists():
            raise PackageMissing(f"{self.source} is missing: install the Debian package {self.package}")
        destination.mkdir(parents=True)
        if self.source.is_dir():
            members = self._chosen(path.relative_to(self.source).as_posix() for path in self.source.rglob("*"))
            for member in members:
                if (self.source / member).is_file():
                    _make_parent(destination / member)
                    shutil.copyfile(self.source / member, destination / member)
        else:
            with zipfile.ZipFile(self.source) as archive:
                members = self._chosen(name for name in archive.namelist() if not name.endswith("/"))
                for member in members:
                    _make_parent(destination / member)
                    (destination / member).write_bytes(archive.read(member))
        if not any(path.is_file() for path in destination.rglob("*")):
            raise CorpusError(f"{self.name}: no file of {self.source} matches {', '.join(self.members)}")

    def _chosen(self, paths: Iterable[str]) -> list[str]:
        return sorted(
            path
            for path in paths
            if any(_matches(path, pattern) for pattern in self.members)
            and not any(_matches(path, pattern) for pattern in self.excluded)
        )

    def read_symbols(self, root: Path) -> list[Symbol]:
        return read_symbols(root)

    def write_blanked_copy(self, original: Path, destination: Path) -> None:
        write_blanked_copy(original, destination)

    def docstring_queries(self, root: Path) -> list[DocstringQuery]:
        return doc_comment_queries(root)

    def symbol_sources(self, root: Path, symbols: list[Symbol]) -> list[str]:
        return symbol_sources(root, symbols)

    def resolve_answer(self, answer: str, symbols: list[Symbol]) -> list[Symbol]:
        return resolve_answer(answer, symbols)


def _make_parent(path: Path) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)


def _matches(path: str, pattern: str) -> bool:
    """Whether `path` is a file that `pattern` matches or lies in a folder it matches.

    Each part of the pattern matches one part of the path: `*.js` takes the
    files at the top, not those in folders below it.
    """
    parts, wanted = path.split("/"), pattern.split("/")
    return len(parts) >= len(wanted) and all(map(fnmatch.fnmatchcase, parts, wanted))


GO_SOURCE = Path("/usr/share/go-1.19/src")
CARGO_REGISTRY = Path("/usr/share/cargo/registry")
NODE_MODULES = Path("/usr/share/nodejs")
JDK_SOURCES = Path("/usr/lib/jvm/openjdk-17/lib/src.zip")

# Go corpora carry the standard library's go.mod ("module std"), so that
# quibra resolves their imports of one another as it would in the full tree.
PACKAGE_CORPORA = (
    PackageCorpus("go-net-http", "go", "golang-src", GO_SOURCE, ("go.mod", "net/http")),
    PackageCorpus("go-encoding", "go", "golang-src", GO_SOURCE, ("go.mod", "encoding")),
    PackageCorpus(
        "go-text", "go", "golang-src", GO_SOURCE, ("go.mod", "strings", "strconv", "unicode", "regexp", "text")
    ),
    PackageCorpus(
        "rust-regex-syntax", "rust", "librust-regex-syntax-dev", CARGO_REGISTRY / "regex-syntax-0.6.27", ("*",)
    ),
    PackageCorpus("rust-semver", "rust", "librust-semver-dev", CARGO_REGISTRY / "semver-1.0.14", ("*",)),
    PackageCorpus("rust-itertools", "rust", "librust-itertools-dev", CARGO_REGISTRY / "itertools-0.10.3", ("*",)),
    # The modular build only: lodash.js and core.js bundle the same functions
    # with the same comments, so that no doc comment would have one answer.
    PackageCorpus(
        "js-lodash",
        "javascript",
        "node-lodash",
        NODE_MODULES / "lodash",
        ("*.js",),
        ("lodash.js", "lodash.*.js", "core.js", "core.min.js", "fp.js", "*.fp.js"),
    ),
    # The ECMAScript library declarations, without the DOM's.
    PackageCorpus("ts-lib-es", "typescript", "node-typescript", NODE_MODULES / "typescript/lib", ("lib.es*.d.ts",)),
    PackageCorpus("java-util", "java", "openjdk-17-source", JDK_SOURCES, ("java.base/java/util/*.java",)),
)


# --- Symbols -------------------------------------------------------------------------------------


# quibra's readers are imported where they are used, not at the top, so that
# the Python corpora still run, and say what is missing, with a quibra that
# has no readers for other languages.


def source_files(root: Path) -> list[tuple[str, str]]:
    """(tree-relative path, language) of each file of the tree that a quibra reader reads."""
    from quibra.tree.languages import language_of

    found = []
    for path in sorted(root.rglob("*")):
        relative = path.relative_to(root).as_posix()
        language = language_of(relative)
        if language is not None and path.is_file():
            found.append((relative, language))
    return found


def reader_symbols(language: str, path: str, source: bytes) -> list[ReaderSymbol] | None:
    """The reader's symbols of one file, or None for a file that quibra does not index (generated, binary)."""
    from quibra.tree.languages import LanguageUnavailable, read_source
    from quibra.tree.languages.model import SkipFile

    try:
        return read_source(language, path, source).symbols
    except SkipFile:
        return None
    except LanguageUnavailable as error:
        raise CorpusError(str(error)) from error


def read_file_symbols(root: Path, path: str, language: str) -> list[ReaderSymbol] | None:
    return reader_symbols(language, path, (root / path).read_bytes())


def _bench_symbol(path: str, symbol: ReaderSymbol) -> Symbol:
    return Symbol(
        path=path,
        qualname=symbol.qualname,
        kind=symbol.kind,
        line=symbol.line,
        start_line=symbol.start_line,
        end_line=symbol.end_line,
    )


def read_symbols(root: Path) -> list[Symbol]:
    """Every symbol the readers yield from the tree, file by file in source order."""
    symbols = []
    for path, language in source_files(root):
        for symbol in read_file_symbols(root, path, language) or ():
            symbols.append(_bench_symbol(path, symbol))
    return symbols


def symbol_sources(root: Path, symbols: list[Symbol]) -> list[str]:
    """The lines of each symbol, its doc comment and attributes included, as one text per symbol."""
    lines_by_path: dict[str, list[str]] = {}
    texts = []
    for symbol in symbols:
        if symbol.path not in lines_by_path:
            # Tree-sitter counts rows at "\n" alone; so does this split.
            lines_by_path[symbol.path] = (root / symbol.path).read_bytes().decode("utf-8", "replace").split("\n")
        texts.append("\n".join(lines_by_path[symbol.path][symbol.start_line - 1 : symbol.end_line]))
    return texts


# --- Blanking doc comments -----------------------------------------------------------------------

Node = tree_sitter.Node


def _is_javadoc(node: Node, source: bytes) -> bool:
    return node.text is not None and node.text.startswith(b"/**") and node.text != b"/**/"


_RUST_DOC = re.compile(rb"^(///(?!/)|//!|/\*\*(?![*/])|/\*!)")


def _is_rust_doc(node: Node, source: bytes) -> bool:
    """Outer (`///`, `/** */`) and inner (`//!`, `/*! */`) doc comments; `////` and `/***` are plain."""
    return node.text is not None and _RUST_DOC.match(node.text) is not None


# What go/doc documents: a comment group directly above one of these.
_GO_DECLARATIONS = frozenset(
    {
        "package_clause",
        "function_declaration",
        "method_declaration",
        "type_declaration",
        "type_spec",
        "type_alias",
        "const_declaration",
        "const_spec",
        "var_declaration",
        "var_spec",
        "field_declaration",
        "method_elem",
    }
)
# `//go:generate ...`, `//line file:1`, `//export name`: toolchain directives, kept as they are.
_GO_DIRECTIVE = re.compile(rb"^//(line |extern |export |[a-z0-9]+:[a-z0-9])")


def _is_go_doc(node: Node, source: bytes) -> bool:
    """A comment of a run that stands directly above a declaration.

    In function bodies too: the reader documents a local type with the
    comment above it, and blanking the few above a local `var` costs nothing.
    """
    if node.text is None or _GO_DIRECTIVE.match(node.text) or not _starts_its_line(node, source):
        return False
    last_row = node.end_point.row
    below = node.next_named_sibling
    while below is not None and below.type == "comment" and below.start_point.row == last_row + 1:
        last_row = below.end_point.row
        below = below.next_named_sibling
    return below is not None and below.type in _GO_DECLARATIONS and below.start_point.row == last_row + 1


def _starts_its_line(node: Node, source: bytes) -> bool:
    line_start = source.rfind(b"\n", 0, node.start_byte) + 1
    return not source[line_start : node.start_byte].strip()


@dataclass(frozen=True)
class DocCommentRule:
    """How one language writes doc comments: its grammar, its comment nodes, and which of them document."""

    grammar: Callable[[], object]
    comment_types: frozenset[str]
    is_doc: Callable[[Node, bytes], bool]


_COMMENT = frozenset({"comment"})
_LINE_AND_BLOCK = frozenset({"line_comment", "block_comment"})

DOC_COMMENT_RULES = {
    "go": DocCommentRule(tree_sitter_go.language, _COMMENT, _is_go_doc),
    "rust": DocCommentRule(tree_sitter_rust.language, _LINE_AND_BLOCK, _is_rust_doc),
    "javascript": DocCommentRule(tree_sitter_javascript.language, _COMMENT, _is_javadoc),
    "typescript": DocCommentRule(tree_sitter_typescript.language_typescript, _COMMENT, _is_javadoc),
    "java": DocCommentRule(tree_sitter_java.language, _LINE_AND_BLOCK, _is_javadoc),
}


@dataclass(frozen=True)
class _Parsing:
    parser: tree_sitter.Parser
    comments: tree_sitter.Query  # every comment node, as `@comment`


_parsing: dict[str, _Parsing] = {}


def _parsing_of(language: str) -> _Parsing:
    if language not in _parsing:
        rule = DOC_COMMENT_RULES[language]
        grammar = tree_sitter.Language(rule.grammar())
        pattern = "[" + " ".join(f"({kind})" for kind in sorted(rule.comment_types)) + "] @comment"
        _parsing[language] = _Parsing(tree_sitter.Parser(grammar), tree_sitter.Query(grammar, pattern))
    return _parsing[language]


def parse(language: str, source: bytes) -> tree_sitter.Tree:
    return _parsing_of(language).parser.parse(source)


def doc_comments(language: str, tree: tree_sitter.Tree, source: bytes) -> list[Node]:
    """The doc comments of a parsed file, in source order."""
    is_doc = DOC_COMMENT_RULES[language].is_doc
    comments = tree_sitter.QueryCursor(_parsing_of(language).comments).captures(tree.root_node).get("comment", [])
    return sorted((node for node in comments if is_doc(node, source)), key=lambda node: node.start_byte)


_OPENING = re.compile(rb"^(/\*[*!]?|//[/!]?)")
_LINE_BREAK = re.compile(rb"\r?\n")


def emptied(comment: bytes) -> bytes:
    """The comment with its markers and line breaks only: `/// text\\n` -> `///\\n`, `/** a\\n b */` -> `/**\\n*/`.

    The markers stay so that the comment still is the kind of comment it
    was (a doc comment starts the definition's lines as before); the line
    breaks stay so that every later line keeps its number.
    """
    opening = _OPENING.match(comment)
    if opening is None:
        raise ValueError(f"not a comment: {comment[:20]!r}")
    breaks = b"".join(_LINE_BREAK.findall(comment))
    if opening.group().startswith(b"//"):
        return opening.group() + breaks
    return opening.group() + (breaks or b" ") + b"*/"


def blank_doc_comments(language: str, source: bytes) -> bytes:
    tree = parse(language, source)
    blanked = bytearray(source)
    # Last first, so the offsets of the ones still to come stay valid.
    for comment in reversed(doc_comments(language, tree, source)):
        blanked[comment.start_byte : comment.end_byte] = emptied(source[comment.start_byte : comment.end_byte])
    return bytes(blanked)


def _reader_view(symbols: list[ReaderSymbol]) -> list[tuple[str, str, int, int, int]]:
    return [(s.qualname, s.kind, s.line, s.start_line, s.end_line) for s in symbols]


def check_blanked(root: Path, path: str, language: str, original: bytes, blanked: bytes) -> None:
    """Raise CorpusError unless the blanked file reads as the original did, without any documentation."""
    if blanked.count(b"\n") != original.count(b"\n"):
        raise CorpusError(f"{root / path}: blanking its doc comments changed its number of lines")
    if parse(language, blanked).root_node.has_error and not parse(language, original).root_node.has_error:
        raise CorpusError(f"{root / path}: blanking its doc comments broke its syntax")
    before = reader_symbols(language, path, original)
    if before is None:
        return  # quibra does not index it: nothing to compare
    after = reader_symbols(language, path, blanked) or []
    if _reader_view(after) != _reader_view(before):
        raise CorpusError(f"{root / path}: blanking its doc comments changed the symbols read from it")
    documented = next((symbol for symbol in after if symbol.docstring.strip()), None)
    if documented is not None:
        raise CorpusError(f"{root / path}: the doc comment of {documented.qualname} survived blanking")


def write_blanked_copy(original: Path, destination: Path) -> None:
    """Copy the tree at `original` to `destination` with every doc comment emptied, each file checked."""
    shutil.copytree(original, destination)
    for path, language in source_files(destination):
        if language not in DOC_COMMENT_RULES:
            continue
        source = (destination / path).read_bytes()
        blanked = blank_doc_comments(language, source)
        check_blanked(original, path, language, source, blanked)
        (destination / path).write_bytes(blanked)


# --- Doc-comment queries -------------------------------------------------------------------------

# JSDoc and Javadoc block tags (`@param`, `@returns`, `@example`) end the description.
_BLOCK_TAG = re.compile(r"^\s*@\w", re.MULTILINE)
# Inline tags: `{@link Foo#bar label}` reads as its label, `{@code x}` and `{@link Foo}` as their text.
_INLINE_TAG = re.compile(r"\{@\w+\s+([^{}|\s]+)(?:[\s|]+([^{}]*))?\}")
_HTML_TAG = re.compile(r"</?[A-Za-z][^<>]*>")
# Markdown links: `[text](target)`, `[text][reference]` and intra-doc `[`Version`]` read as their text;
# brackets right after a word are an index (`target[key]`) and stay.
_MARKDOWN_LINK = re.compile(r"(?<![\w\]])\[([^\[\]]+)\](?:\([^()]*\)|\[[^\[\]]*\])?")
# A paragraph that opens with a code fence, a heading or a list is no sentence.
_NOT_A_SENTENCE_START = re.compile(r"^(```|#|[-*+] |\|)")


def _inline_tag_text(found: re.Match[str]) -> str:
    label = found.group(2)
    return label.strip() if label and label.strip() else found.group(1).replace("#", ".").strip(".")


def description(docstring: str) -> str:
    """The prose of a doc comment: before its block tags, with inline tags, HTML and links read as text."""
    tag = _BLOCK_TAG.search(docstring)
    prose = docstring[: tag.start()] if tag else docstring
    prose = _INLINE_TAG.sub(_inline_tag_text, prose)
    prose = html.unescape(_HTML_TAG.sub("", prose))
    return _MARKDOWN_LINK.sub(r"\1", prose)


# What follows a name that is the subject: a verb in the third person, an adverb before one, a modal.
_NAME_AS_SUBJECT = re.compile(r"(\w+s|\w+ly|will|should|must|can|may|might|could|would)\b")


def query_from_doc_comment(docstring: str, name: str) -> str | None:
    """The query a function's doc comment gives, or None when its first sentence is unfit.

    A first word that is the function's own name, as the subject of the
    sentence, is taken out: Go doc comments open with the name by convention
    ("Split slices s into ...", "Len is ...", "Close immediately closes ..."),
    and a user looking for the function would not type the name they do not
    know. A name used as the sentence's imperative verb ("Write the contents
    of data ...") stays: the sentence needs it.
    """
    prose = description(docstring).strip()
    if _NOT_A_SENTENCE_START.match(prose):
        return None
    sentence = first_sentence(prose)
    first, _, rest = sentence.partition(" ")
    if first == name and _NAME_AS_SUBJECT.match(rest):
        sentence = rest
    words = [word for word in sentence.split() if re.search(r"\w", word)]
    if not MIN_QUERY_WORDS <= len(words) <= MAX_QUERY_WORDS or NOT_PROSE.match(sentence):
        return None
    return sentence


def doc_comment_queries(root: Path) -> list[DocstringQuery]:
    """One query per function or method outside the tests whose doc comment opens with a usable sentence.

    A query that two functions share (an interface method and its
    implementation, say) has no single right answer, so it is left out.
    """
    queries = []
    for path, language in source_files(root):
        if is_test_path(path):
            continue
        for symbol in read_file_symbols(root, path, language) or ():
            if symbol.kind not in CALLABLE_KINDS or not symbol.docstring:
                continue
            query = query_from_doc_comment(symbol.docstring, symbol.name)
            if query is not None:
                queries.append(DocstringQuery(query, _bench_symbol(path, symbol)))
    counts = Counter(query.text.lower() for query in queries)
    unique = [query for query in queries if counts[query.text.lower()] == 1]
    return sorted(unique, key=lambda query: query.answer.location)


# --- Navigational answers ------------------------------------------------------------------------


def resolve_answer(answer: str, symbols: list[Symbol]) -> list[Symbol]:
    """The symbols an answer "place:qualname" names: `net/http:Client.Do`, `src/lib.rs:Version::parse`.

    The place is a file of the tree, or a folder whose own files (not those
    of its subfolders) are searched: a Go package.
    """
    place, _, qualname = answer.partition(":")
    return [
        symbol
        for symbol in symbols
        if symbol.qualname == qualname and place in (symbol.path, symbol.path.rpartition("/")[0])
    ]
