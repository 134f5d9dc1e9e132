"""Symbols read from tree-sitter syntax trees: the machinery every
tree-sitter language shares.

A language is a `Grammar`: its tree-sitter language, one query, and a few
small functions that know its node types. The query captures, by capture
name:

- definitions: `@function`, `@method`, `@class`, `@struct`, `@interface`,
  `@trait`, `@enum` on a definition node, with `@name` (and optionally
  `@params`, `@body`, `@receiver`) inside the same pattern; `@scope` for a
  named scope that is no symbol (a namespace, a Rust `mod { }`) and `@impl`
  for one whose functions are methods (a Rust `impl`);
- `@branch`: a decision point, and `@multiway` for a node whose branches
  count one fewer than they number (a Rust `match`: n arms, n - 1 choices);
- `@block`: a node that opens one level of nesting, and `@flat` for one
  that, matched as a block too, opens none if the grammar's `is_flat`
  says so (a Python `match`'s list of cases);
- `@import`: a node the grammar's `imports` function turns into entries;
- `@foreign`: a construct that a strict grammar leaves to another reader
  (Python 2 statements in a Python 3 reader), as it does any file that
  does not parse cleanly;
- `@embedded`: a node whose text the grammar may read again as code of its
  own (a Rust macro's body, which the grammar leaves as tokens): its
  `embedded_ranges` say which bytes, and `embedded_accepts` whether the
  tree they give is kept; what a kept tree defines and uses counts as if
  it stood there in the file, at its own lines;
- references, on the node of the name used: `@ref.call` and `@ref.type`
  (with `@ref.qualifier` on what the name is reached through, if any);
  `@ref.call.q` and `@ref.type.q` for a name that ends a path whose
  qualifier is read off its ancestors of the grammar's `path_types`
  (`a::b::f`, `java.util.List`); `@ref.types` on a node the grammar's
  `type_references` walks (a Python annotation); `@ref.skip` on a name
  that is no use (a definition's own name where the grammar marks every
  type identifier as a use). The `@import` nodes give their imported names
  through the grammar's `import_references`.

Matching runs in C; Python only sees the captures. Walking every node from
Python would cost about a microsecond a node, several times the parse
itself. Branches and blocks are attributed afterwards to the innermost
enclosing symbol by byte offsets, and nesting comes from how block ranges
contain one another, so neither needs the tree again.
"""

from __future__ import annotations

import os
import re
from bisect import bisect_left, bisect_right
from collections import deque
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from typing import NamedTuple, Protocol

import tree_sitter

from quibra.tree.languages.model import FileExtract, Reference, Symbol

Node = tree_sitter.Node
Captures = dict[str, list[Node]]

SYMBOL_KINDS = frozenset({"function", "method", "class", "struct", "interface", "trait", "enum"})
CONTAINER_KINDS = frozenset({"class", "struct", "interface", "trait", "enum", "impl"})
SCOPE_KINDS = frozenset({"scope", "impl"})
_DEFINITION_CAPTURES = SYMBOL_KINDS | SCOPE_KINDS
_REFERENCE_ROLES = ("ref.call", "ref.type", "ref.call.q", "ref.type.q", "ref.types", "ref.skip")

# Embedded code is read again inside embedded code this many levels deep at
# most, and a file gets at most this many readings of it: each level reads
# bytes of the file at most twice (the whole, then its parts), so the work
# stays a small multiple of the file's own parse.
MAX_EMBEDDED_DEPTH = 3
MAX_EMBEDDED_READINGS = 10_000

# References kept per file: past this, a file is generated tables of calls, not code to navigate.
MAX_REFERENCES = 200_000
# A qualifier longer than this (a chain of calls over many lines) keeps its last characters only.
LONGEST_QUALIFIER = 100

# A reference found by a grammar's own function: (name, node of the name, qualifier).
NamedUse = tuple[str, "tree_sitter.Node", str]


# Parents of a called name, up to the call, and the nodes that hold a call's arguments.
_CALL_CLIMB = 4
_ARGUMENT_LISTS = frozenset({"arguments", "argument_list"})
# Nodes in an argument list that are no argument: Python's backslash at a line's end.
_NO_ARGUMENTS = frozenset({"line_continuation"})


def call_arity(name: Node) -> int:
    """How many arguments the call of `name` passes: `f(a, b)`, `x.f(a)`,
    `ns::f<T>(a)`, `new T(a)`; -1 when no argument list is found (a macro's
    tokens, a call the grammar spells otherwise)."""
    node: Node | None = name
    for _climb in range(_CALL_CLIMB):
        node = node.parent if node is not None else None
        if node is None or node.type in _ARGUMENT_LISTS or node.type == "token_tree":
            return -1  # the name is an argument of an outer call, or a macro's token
        if node.type == "type_alias_statement":
            return 1  # Python's `type(x).attr = value`, which the grammar reads as an alias
        arguments = node.child_by_field_name("arguments")
        if arguments is None or arguments.type == "template_argument_list":
            continue
        if arguments.type == "generator_expression":  # Python's f(x for x in y)
            return 1
        if arguments.type not in _ARGUMENT_LISTS:
            return -1
        return sum(1 for child in arguments.named_children if child.type not in _NO_ARGUMENTS and "comment" not in child.type)
    return -1


class Unreadable(Exception):
    """A strict grammar's file has a syntax error or a construct it leaves to another reader."""


@dataclass(slots=True)
class Definition:
    """A symbol or a named scope, as a grammar describes one match of its query."""

    node: Node  # its whole extent: the code inside it is its own
    kind: str  # a symbol kind, or "scope" / "impl"
    name: str
    name_node: Node
    # Names that qualify it where it stands: a Go method's receiver type, the
    # `ns::Class` of an out-of-line C++ definition.
    qualifier: tuple[str, ...] = ()
    params: Node | None = None
    body: Node | None = None


class Head(NamedTuple):
    """What a grammar that describes its own definitions reads off one of them."""

    line: int  # 1-based, as every line of a Symbol
    start_line: int
    end_line: int
    signature: str
    docstring: str


class LanguageGrammar(Protocol):
    """A zero-argument function of a grammar package: `tree_sitter_go.language`."""

    def __call__(self) -> object: ...


def _default_define(kind: str, captures: Captures, source: bytes) -> Definition | None:
    return plain_definition(kind, captures, source)


def _no_imports(node: Node, source: bytes) -> list[object]:
    return []


def _always(node: Node) -> bool:
    return True


def _no_uses(node: Node, source: bytes) -> list[NamedUse]:
    return []


def _no_ranges(node: Node, source: bytes) -> list[tree_sitter.Range]:
    return []


def _no_parts(node: Node) -> list[Node]:
    return []


def _never(root: Node) -> bool:
    return False


def clean_qualifier(written: str) -> str:
    """A qualifier as written, on one line, and its tail alone when it is long."""
    if not written.isidentifier():
        written = " ".join(written.split())
        if len(written) > LONGEST_QUALIFIER:
            written = "…" + written[-LONGEST_QUALIFIER:]
    return written


def _named_children_count(params: Node) -> int:
    return sum(1 for child in params.named_children if "comment" not in child.type)


@dataclass(frozen=True)
class DocStyle:
    """Which comments directly above a definition document it."""

    # The nearest comment alone, and only if it is a `/** */` block (Javadoc, JSDoc).
    javadoc_only: bool = False
    # A comment whose text passes this is documentation; None takes any.
    is_doc: Callable[[str], bool] | None = None

    def accepts(self, comment: str) -> bool:
        if self.javadoc_only:
            return comment.startswith("/**") and comment != "/**/"
        return self.is_doc is None or self.is_doc(comment)


@dataclass
class Grammar:
    name: str
    language: tree_sitter.Language
    query_text: str
    separator: str = "."
    doc_style: DocStyle = DocStyle()
    # Parents that hold one definition and belong to it: its doc comment sits
    # above them (`export`, `template <...>`, Go's `type` keyword).
    wrappers: frozenset[str] = frozenset()
    # Siblings above a definition that belong to it: attributes, decorators.
    attributes: frozenset[str] = frozenset()
    comment_types: frozenset[str] = frozenset({"comment"})
    define: Callable[[str, Captures, bytes], Definition | None] = _default_define
    count_params: Callable[[Node], int] = _named_children_count
    imports: Callable[[Node, bytes], list[object]] = _no_imports
    # The names an `@import` node brings in, as references of kind "import".
    import_references: Callable[[Node, bytes], list[NamedUse]] = _no_uses
    # The type names used in a `@ref.types` node.
    type_references: Callable[[Node, bytes], list[NamedUse]] = _no_uses
    # Nodes of a qualified name that hold the name of a `.q` capture and
    # its qualifier: the qualifier is their text up to the name.
    path_types: frozenset[str] = frozenset()
    qualifier_text: Callable[[str], str] = clean_qualifier
    # A used name as the language knows it, where that differs from how it is written.
    name_text: Callable[[str], str] | None = None
    # Whether a `@flat` capture opens no level, where a pattern cannot say.
    is_flat: Callable[[Node], bool] = _always
    # Lines, signature and documentation of a definition, for a language
    # whose definitions carry them in their own nodes (Python's decorators
    # and docstrings); None reads them from the text around the definition.
    describe: Callable[[Definition, bytes], Head] | None = None
    # Decisions and blocks count only inside a definition's body, not in
    # its parameters' defaults or its decorators, which belong to no one.
    body_only: bool = False
    # A syntax error or a `@foreign` capture makes the file Unreadable
    # rather than read in part.
    strict: bool = False
    # A strict grammar's tree nested deeper than this is Unreadable too:
    # a reader with a recursive parser refuses such a file.
    max_depth: int | None = None
    # For an `@embedded` node: the bytes to read again as the grammar's own
    # code (none: nothing is read), whether the tree they give is kept, and
    # the parts of the node to try one by one when it is not.
    embedded_ranges: Callable[[Node, bytes], list[tree_sitter.Range]] = _no_ranges
    embedded_accepts: Callable[[Node], bool] = _never
    embedded_parts: Callable[[Node], list[Node]] = _no_parts
    # A byte left out of embedded code right before a name that makes the
    # name a placeholder (a macro template's `$name`): no use of that name.
    placeholder_mark: bytes = b""
    query: tree_sitter.Query = field(init=False)
    parser: tree_sitter.Parser = field(init=False)
    # For each pattern of the query: what it captures (a capture name above).
    _roles: list[str] = field(init=False)

    def __post_init__(self) -> None:
        self.query = tree_sitter.Query(self.language, self.query_text)
        self.parser = tree_sitter.Parser(self.language)
        self._roles = [self._role(index) for index in range(self.query.pattern_count)]

    def _role(self, pattern: int) -> str:
        start, end = self.query.start_byte_for_pattern(pattern), self.query.end_byte_for_pattern(pattern)
        names = set(re.findall(r"@([\w.]+)", self.query_text[start:end]))
        roles = (
            "branch", "multiway", "block", "flat", "import", "foreign", "embedded",
            *_REFERENCE_ROLES, *sorted(_DEFINITION_CAPTURES),
        )
        for role in roles:
            if role in names:
                return role
        raise ValueError(f"{self.name}: a query pattern captures nothing this reader uses")


def load_language(grammar: LanguageGrammar) -> tree_sitter.Language:
    return tree_sitter.Language(grammar())


def text(node: Node, source: bytes) -> str:
    return source[node.start_byte : node.end_byte].decode("utf-8", "replace")


def plain_definition(kind: str, captures: Captures, source: bytes) -> Definition | None:
    """The definition a pattern captured under `kind`, with `@name`, `@params`, `@body`."""
    name_nodes = captures.get("name")
    if not name_nodes:
        return None
    name_node = name_nodes[0]
    name = text(name_node, source)
    if not name:  # a name tree-sitter inserted to recover from an error
        return None
    return Definition(
        node=captures[kind][0],
        kind=kind,
        name=name,
        name_node=name_node,
        params=_first(captures.get("params")),
        body=_first(captures.get("body")),
    )


def _first(nodes: list[Node] | None) -> Node | None:
    return nodes[0] if nodes else None


def strip_comment(comment: str) -> str:
    """The text of one comment (or of a run of line comments) without its
    markers (`/**`, `/*!`, `/*`, `*/`, the `*` that starts each line of a
    block comment, and `///`, `//!`, `//` with the space after them),
    dedented as `textwrap.dedent` would, each line right-stripped."""
    comment = comment.rstrip()
    if comment.startswith("/*"):
        body = comment[3:] if comment[2:3] in ("*", "!") else comment[2:]
        if body.endswith("*/"):
            body = body[:-1].rstrip("*")
        first, _, rest = body.partition("\n")
        # The first line follows the opening marker: the others are dedented among themselves.
        lines = [first.strip()]
        if rest:
            lines += _dedented([_without_star(line) for line in rest.split("\n")])
    elif "\n" not in comment:
        return _without_slashes(comment).strip(" \t").rstrip()
    else:
        lines = _dedented([_without_slashes(line) for line in comment.split("\n")])
    return "\n".join(lines).strip("\n")


def _without_star(line: str) -> str:
    content = line.lstrip(" \t")
    if content.startswith("*") and not content.startswith("*/"):
        return content[2:] if content.startswith("* ") else content[1:]
    return line


def _without_slashes(line: str) -> str:
    content = line.lstrip(" \t")
    if not content.startswith("//"):
        return line
    content = content[3:] if content[2:3] in ("/", "!") else content[2:]
    return content[1:] if content.startswith(" ") else content


def _dedented(lines: list[str]) -> list[str]:
    """The lines without the leading spaces and tabs that all of them share, each
    right-stripped; lines of spaces and tabs alone count as empty (`textwrap.dedent`'s rules,
    without its regular expressions, which cost more than the rest of a reader on long comments)."""
    contents = [line.lstrip(" \t") for line in lines]
    indents = [line[: len(line) - len(content)] for line, content in zip(lines, contents) if content]
    margin = len(os.path.commonprefix(indents)) if indents else 0
    return [line[margin:].rstrip() if content else "" for line, content in zip(lines, contents)]


def join_comments(comments: Iterable[str]) -> str:
    """Doc comments above one definition, in order, as one text; a run of
    line comments is one paragraph source, stripped as a whole."""
    parts: list[str] = []
    line_run: list[str] = []
    for comment in comments:
        if comment.startswith("//"):
            line_run.append(comment.rstrip())
            continue
        if line_run:
            parts.append(strip_comment("\n".join(line_run)))
            line_run = []
        parts.append(strip_comment(comment))
    if line_run:
        parts.append(strip_comment("\n".join(line_run)))
    return "\n".join(parts).strip()


def collapse_whitespace(head: str) -> str:
    return " ".join(head.split())


@dataclass(slots=True)
class _Entry:
    definition: Definition
    start: int
    end: int
    # The range where its own decisions and blocks may stand: its whole
    # extent, or only its body for a grammar that counts the body alone.
    own_start: int
    own_end: int
    # Set when the definitions nest: its name qualified by the enclosing
    # ones, how many of those are symbols, the kind of the innermost; its
    # place among the file's symbols (-1 for a scope) and that of the
    # innermost symbol around it.
    qualname: str = ""
    depth: int = 0
    enclosing_kind: str | None = None
    position: int = -1
    enclosing_symbol: int = -1
    decisions: int = 0
    blocks: list[tuple[int, int]] = field(default_factory=list)  # (start, -end) of each


_PlainUse = tuple[str, Node, "Node | None"]  # kind, name node, qualifier node
# byte offset, row, name, kind, qualifier, arity, depth of the embedded code it was read in (0: none)
_ReadUse = tuple[int, int, str, str, str, int, int]


class _Reader:
    """One file's captures, turned into symbols."""

    def __init__(self, grammar: Grammar, source: bytes) -> None:
        self.grammar = grammar
        self.source = source
        self.entries: list[_Entry] = []
        self.branches: list[tuple[int, int]] = []  # (byte offset, weight)
        # (start, -end) of each block: in plain tuple order, a block comes
        # before the blocks inside it, also one that starts with it.
        self.blocks: list[tuple[int, int]] = []
        self.flat: set[tuple[int, int]] = set()
        self.imports: list[object] = []
        self.namespaces: set[str] = set()
        self.foreign = False
        # (byte offset of the name, row, name, kind, qualifier, arity) of each use, in match order.
        self.uses: list[_ReadUse] = []
        self.depth = 0  # of the embedded code being collected (0: the file's own tree)
        # The same, for the plain `@ref.call` and `@ref.type` captures, whose text
        # is read only for those that stay: (byte offset, kind, name node, qualifier node, depth).
        self.plain_uses: list[tuple[int, str, Node, Node | None, int]] = []
        self.skipped: set[int] = set()  # byte offsets of names that are no use
        self.qualifier_spans: list[tuple[int, int]] = []  # qualifiers read off `.q` paths
        # `@embedded` nodes not read yet, each with how deep in embedded code it stands.
        self.embedded: list[tuple[Node, int]] = []

    def _use(self, node: Node, kind: str, qualifier: str) -> None:
        if len(self.uses) < 2 * MAX_REFERENCES:
            start = node.start_byte
            name = self.source[start : node.end_byte].decode("utf-8", "replace")
            if self.grammar.name_text is not None:
                name = self.grammar.name_text(name)
            if name:
                arity = call_arity(node) if kind == "call" else -1
                self.uses.append((start, node.start_point.row, name, kind, qualifier, arity, self.depth))

    def _path_use(self, node: Node, kind: str) -> None:
        """A name that ends a path: its qualifier is the path's text before it."""
        path_types = self.grammar.path_types
        outer = node
        parent = node.parent
        while parent is not None and parent.type in path_types:
            outer, parent = parent, parent.parent
        start = outer.start_byte
        written = self.source[start : node.start_byte].decode("utf-8", "replace").rstrip(" \t\n:.")
        if written:
            self.qualifier_spans.append((start, node.start_byte))
        self._use(node, kind, self.grammar.qualifier_text(written) if written else "")

    def _reference(self, captures: Captures) -> None:
        # A pattern may capture a name one way or another (`new T()`, `new a.T()`): what it caught decides.
        for capture, nodes in captures.items():
            if capture == "ref.call" or capture == "ref.type":
                qualifiers = captures.get("ref.qualifier")
                qualifier = self.grammar.qualifier_text(text(qualifiers[0], self.source)) if qualifiers else ""
                self._use(nodes[0], capture[4:], qualifier)
            elif capture == "ref.call.q" or capture == "ref.type.q":
                self._path_use(nodes[0], capture[4:-2])
            elif capture == "ref.skip":
                self.skipped.add(nodes[0].start_byte)
            elif capture == "ref.types":
                for name, node, qualifier in self.grammar.type_references(nodes[0], self.source):
                    self.uses.append((node.start_byte, node.start_point.row, name, "type", qualifier, -1, self.depth))

    def collect(self, root: Node, depth: int = 0) -> None:
        """Take in the captures of the tree at `root`, which is embedded code
        `depth` levels deep (0: the file's own tree)."""
        grammar, source = self.grammar, self.source
        self.depth = depth
        roles = grammar._roles
        define = grammar.define
        for pattern, captures in tree_sitter.QueryCursor(grammar.query).matches(root):
            role = roles[pattern]
            if role == "branch":
                self.branches.append((captures["branch"][0].start_byte, 1))
            elif role == "block":
                node = captures["block"][0]
                self.blocks.append((node.start_byte, -node.end_byte))
            elif role == "multiway":
                self.branches.append((captures["multiway"][0].start_byte, -1))
            elif role == "import":
                node = captures["import"][0]
                self.imports.extend(grammar.imports(node, source))
                for name, name_node, qualifier in grammar.import_references(node, source):
                    row = name_node.start_point.row
                    self.uses.append((name_node.start_byte, row, name, "import", qualifier, -1, depth))
            elif role == "ref.type" or role == "ref.call":
                nodes = captures.get(role)
                if nodes is None:
                    self._reference(captures)
                elif len(self.plain_uses) < 2 * MAX_REFERENCES:
                    qualifiers = captures.get("ref.qualifier")
                    node = nodes[0]
                    qualifier_node = qualifiers[0] if qualifiers else None
                    self.plain_uses.append((node.start_byte, role[4:], node, qualifier_node, depth))
            elif role.startswith("ref."):
                self._reference(captures)
            elif role == "flat":
                node = captures["flat"][0]
                if grammar.is_flat(node):
                    self.flat.add((node.start_byte, -node.end_byte))
            elif role == "foreign":
                self.foreign = True
            elif role == "embedded":
                if depth < MAX_EMBEDDED_DEPTH:
                    self.embedded.append((captures["embedded"][0], depth + 1))
            else:
                definition = define(role, captures, source)
                if definition is not None:
                    self.entries.append(self._entry(definition))

    def collect_embedded(self) -> None:
        """Read the embedded code found so far, and what that holds in turn,
        within MAX_EMBEDDED_READINGS readings: a node whose reading is not
        kept has its parts tried instead, each on its own and no further."""
        grammar = self.grammar
        readings = 0
        # (node, how deep it stands, whether its parts are tried when it is not kept)
        pending = deque((node, depth, True) for node, depth in self.embedded)
        self.embedded = []
        while pending and readings < MAX_EMBEDDED_READINGS:
            node, depth, whole = pending.popleft()
            ranges = grammar.embedded_ranges(node, self.source)
            if not ranges:
                continue
            readings += 1
            # Ranges keep the file's bytes, lines and columns: the tree's nodes stand where they do in the file.
            try:
                parser = tree_sitter.Parser(grammar.language, included_ranges=ranges)
            except ValueError:  # ranges out of order: a grammar's mistake costs this reading only
                continue
            root = parser.parse(self.source).root_node
            if grammar.embedded_accepts(root):
                self.collect(root, depth)
                pending.extend((inner, inner_depth, True) for inner, inner_depth in self.embedded)
                self.embedded = []
            elif whole:
                pending.extendleft((part, depth, False) for part in reversed(grammar.embedded_parts(node)))

    def _entry(self, definition: Definition) -> _Entry:
        node = definition.node
        start, end = node.start_byte, node.end_byte
        if self.grammar.body_only:
            body = definition.body
            own_start, own_end = (body.start_byte, body.end_byte) if body is not None else (end, end)
        else:
            own_start, own_end = start, end
        return _Entry(definition, start, end, own_start, own_end)

    def nest(self) -> None:
        """Sort the definitions and link each to the ones that enclose it."""
        # Two patterns may describe the same node (a C++ method declared in a
        # class and matched as a prototype too): the first description stands.
        unique: dict[tuple[int, int], _Entry] = {}
        for entry in self.entries:
            unique.setdefault((entry.start, entry.end), entry)
        self.entries = sorted(unique.values(), key=lambda entry: (entry.start, -entry.end))
        self.namespaces = {entry.definition.name for entry in self.entries if entry.definition.kind == "scope"}
        separator = self.grammar.separator
        symbols = 0
        open_entries: list[_Entry] = []
        for entry in self.entries:
            while open_entries and open_entries[-1].end <= entry.start:
                open_entries.pop()
            definition = entry.definition
            name = separator.join((*definition.qualifier, definition.name)) if definition.qualifier else definition.name
            if open_entries:
                outer = open_entries[-1]
                is_symbol = outer.position >= 0
                entry.qualname = outer.qualname + separator + name
                entry.depth = outer.depth + is_symbol
                entry.enclosing_kind = outer.definition.kind
                entry.enclosing_symbol = outer.position if is_symbol else outer.enclosing_symbol
            else:
                entry.qualname = name
            if definition.kind in SYMBOL_KINDS:
                entry.position = symbols
                symbols += 1
            open_entries.append(entry)

    def attribute(self) -> None:
        """Give each branch and block to the innermost symbol around it."""
        symbols = [entry for entry in self.entries if entry.position >= 0]
        starts = [symbol.start for symbol in symbols]
        ends = [symbol.end for symbol in symbols]
        own_starts = [symbol.own_start for symbol in symbols]
        own_ends = [symbol.own_end for symbol in symbols]
        enclosing = [symbol.enclosing_symbol for symbol in symbols]
        decisions = [0] * len(symbols)
        for offset, weight in self.branches:
            at = bisect_right(starts, offset) - 1
            while at >= 0 and offset >= ends[at]:
                at = enclosing[at]
            if at >= 0 and own_starts[at] <= offset < own_ends[at]:
                decisions[at] += weight
        for symbol, count in zip(symbols, decisions):
            symbol.decisions = count
        flat = self.flat
        for block in self.blocks:
            start = block[0]
            # A Python block starts at its first statement, which may be a
            # definition: the block is then around that one, not inside it.
            at = bisect_left(starts, start) - 1
            while at >= 0 and start >= ends[at]:
                at = enclosing[at]
            if at >= 0 and own_starts[at] <= start < own_ends[at] and not (flat and block in flat):
                symbols[at].blocks.append(block)

    def references(self) -> list[Reference]:
        """The uses in file order, one per name (a name matched as a call and
        as a type is a call; with a qualifier rather than without), each with
        the innermost symbol around it; names inside a path's qualifier are
        part of that qualifier, not uses of their own."""
        # Per name: its rank (read in embedded code, an import, a call, with a
        # qualifier: each wins over what it is not; embedded code read again
        # tells a name's use better than the tokens it was read from) and its
        # use, read or not yet.
        best: dict[int, tuple[tuple[int, bool, bool, bool], _PlainUse | _ReadUse]] = {}
        for start, kind, node, qualifier_node, depth in self.plain_uses:
            rank = (depth, False, kind == "call", qualifier_node is not None)
            held = best.get(start)
            if held is None or rank > held[0]:
                best[start] = (rank, (kind, node, qualifier_node))
        for use in self.uses:
            rank = (use[6], use[3] == "import", use[3] == "call", bool(use[4]))
            held = best.get(use[0])
            if held is None or rank > held[0]:
                best[use[0]] = (rank, use)
        source, grammar = self.source, self.grammar
        name_text, qualifier_text = grammar.name_text, grammar.qualifier_text
        skipped = self.skipped
        # The type an `impl` is for is a use; what others name, they define.
        definitions = {entry.definition.name_node.start_byte for entry in self.entries if entry.definition.kind != "impl"}
        spans = sorted(self.qualifier_spans)
        span_starts = [span[0] for span in spans]
        symbols = [entry for entry in self.entries if entry.position >= 0]
        starts = [symbol.start for symbol in symbols]
        ends = [symbol.end for symbol in symbols]
        enclosing = [symbol.enclosing_symbol for symbol in symbols]
        references: list[Reference] = []
        placeholder = grammar.placeholder_mark
        for offset in sorted(best):
            if offset in skipped or offset in definitions:
                continue
            if placeholder and source[offset - 1 : offset] == placeholder:
                continue
            if spans:
                inside = bisect_right(span_starts, offset) - 1
                if inside >= 0 and offset < spans[inside][1]:
                    continue
            at = bisect_right(starts, offset) - 1
            while at >= 0 and offset >= ends[at]:
                at = enclosing[at]
            kept = best[offset][1]
            if len(kept) == 3:  # a plain capture, read now
                kind, node, qualifier_node = kept
                name = source[offset : node.end_byte].decode("utf-8", "replace")
                if name_text is not None:
                    name = name_text(name)
                if not name:
                    continue
                qualifier = qualifier_text(text(qualifier_node, source)) if qualifier_node is not None else ""
                row = node.start_point.row
                arity = call_arity(node) if kind == "call" else -1
            else:
                _, row, name, kind, qualifier, arity, _depth = kept
            references.append(Reference(name, row + 1, kind, qualifier, at, arity))
            if len(references) >= MAX_REFERENCES:
                break
        return references

    def symbols(self) -> list[Symbol]:
        return [self._symbol(entry) for entry in self.entries if entry.position >= 0]

    def _symbol(self, entry: _Entry) -> Symbol:
        definition = entry.definition
        grammar = self.grammar
        kind = definition.kind
        if kind == "function" and (entry.enclosing_kind in CONTAINER_KINDS or self._qualified_by_type(definition)):
            kind = "method"
        head = grammar.describe(definition, self.source) if grammar.describe is not None else self._head(definition)
        return Symbol(
            name=definition.name,
            qualname=entry.qualname,
            kind=kind,
            line=head.line,
            start_line=head.start_line,
            end_line=head.end_line,
            depth=entry.depth,
            param_count=grammar.count_params(definition.params) if definition.params is not None else 0,
            cyclomatic=max(1, 1 + entry.decisions),
            max_nesting=_max_nesting(entry.blocks, definition.body),
            signature=head.signature,
            docstring=head.docstring,
            declaration=definition.body is None and kind in ("function", "method"),
        )

    def _head(self, definition: Definition) -> Head:
        anchor = self._anchor(definition.node)
        start_row, docstring = self._leading(anchor)
        return Head(
            line=definition.name_node.start_point.row + 1,
            start_line=start_row + 1,
            end_line=definition.node.end_point.row + 1,
            signature=self._signature(anchor, definition),
            docstring=docstring,
        )

    def _qualified_by_type(self, definition: Definition) -> bool:
        """Whether an out-of-line definition (`Type::f`) names a type rather than
        a namespace: every qualifier is taken for a type unless a namespace of
        that name is opened in the same file."""
        if not definition.qualifier:
            return False
        return definition.qualifier[-1] not in self.namespaces

    def _anchor(self, node: Node) -> Node:
        """The outermost node that holds only this definition: where its doc comment sits above."""
        wrappers = self.grammar.wrappers
        if not wrappers:
            return node
        parent = node.parent
        while parent is not None and parent.type in wrappers and _holds_only(parent, node):
            node, parent = parent, parent.parent
        return node

    def _leading(self, anchor: Node) -> tuple[int, str]:
        """(first row of the definition with its attributes and doc comment, the docstring).

        Only what stands directly above counts: a blank line, a statement or
        a comment trailing code ends the search; but a Javadoc-style block
        (`/** */`, where the grammar takes only those) documents what follows
        it across blank lines, as long as nothing else stands between.
        """
        grammar, source = self.grammar, self.source
        if self._bare(anchor):
            return anchor.start_point.row, ""
        style = grammar.doc_style
        adjacent_row = first_row = anchor.start_point.row
        top = anchor.start_byte
        comments: list[tuple[int, str]] = []  # (row, text), nearest first
        sibling = anchor.prev_named_sibling
        while sibling is not None:
            start_row, start_column = sibling.start_point
            end_row, end_column = sibling.end_point
            # A line comment may end at column 0 of the next row.
            last_row = end_row - 1 if end_column == 0 and end_row > start_row else end_row
            kind = sibling.type
            comment = (
                text(sibling, source)
                if kind in grammar.comment_types and _starts_its_line(sibling.start_byte, start_column, source)
                else None
            )
            if last_row < adjacent_row - 1 and not (
                # A Javadoc or JSDoc block documents the declaration after it
                # across blank lines, as javadoc and TypeScript read it.
                style.javadoc_only
                and comment is not None
                and style.accepts(comment)
                and not source[sibling.end_byte : top].strip()
            ):
                break
            if kind in grammar.attributes:
                first_row = start_row
            elif comment is not None:
                comments.append((start_row, comment))
            else:
                break
            adjacent_row = start_row
            top = sibling.start_byte
            if style.javadoc_only and comments:
                break
            sibling = sibling.prev_named_sibling
        if not comments:
            return first_row, ""
        docs = [(row, comment) for row, comment in reversed(comments) if style.accepts(comment)]
        if docs:
            first_row = min(first_row, docs[0][0])
        return first_row, join_comments(comment for _, comment in docs)

    def _bare(self, anchor: Node) -> bool:
        """Whether the text alone shows that nothing documents or qualifies the
        definition: it starts its line, and the line above is blank, or is code
        that is no comment (when the grammar has no attributes, which may look
        like any code). Most definitions are so, and this spares them the walk
        over their earlier siblings: tree-sitter finds each one again from the
        root, which costs most in long files."""
        source = self.source
        start = anchor.start_byte
        line_start = start - anchor.start_point.column
        if source[line_start:start].strip():
            return False
        if line_start == 0:
            return True
        above = source[source.rfind(b"\n", 0, line_start - 1) + 1 : line_start - 1].strip()
        if not above:
            # A Javadoc block may stand blank lines above (see _leading).
            if not self.grammar.doc_style.javadoc_only:
                return True
            end = line_start
            while end > 0 and source[end - 1] in b" \t\r\n":
                end -= 1
            return not source.endswith(b"*/", 0, end)
        if self.grammar.attributes or above.startswith((b"/", b"*")):
            return False
        # A line that ends in a backslash goes on in the next: a macro's, whose comments may end before it.
        return not above.endswith((b"*/", b"\\"))

    def _signature(self, anchor: Node, definition: Definition) -> str:
        """The head of the definition: from its first keyword to its body, on one line.

        Without a body node (a Go interface, a prototype), the head ends at
        the first brace, if any.
        """
        end = definition.body.start_byte if definition.body is not None else definition.node.end_byte
        head = self.source[anchor.start_byte : end]
        if definition.body is None:
            head = head.split(b"{", 1)[0]
        return collapse_whitespace(head.decode("utf-8", "replace")).rstrip("{;= ")




def _holds_only(wrapper: Node, node: Node) -> bool:
    """Whether `node` is what `wrapper` wraps: its last part, and the only one
    of its type (`template <...> f()`, but not one spec of a Go `type (...)` group)."""
    parts = wrapper.named_children
    return parts[-1] == node and sum(part.type == node.type for part in parts) == 1


def _starts_its_line(start_byte: int, column: int, source: bytes) -> bool:
    """Whether only whitespace stands before a node on its line: not a trailing comment.
    (A column counts bytes.)"""
    return not source[start_byte - column : start_byte].strip()


def _max_nesting(blocks: list[tuple[int, int]], body: Node | None) -> int:
    """Deepest level of the blocks, each (start, -end), in a symbol's own code;
    its body itself is level 0."""
    if not blocks:
        return 0
    body_block = (body.start_byte, -body.end_byte) if body is not None else None
    deepest = 0
    open_ends: list[int] = []
    for block in sorted(blocks):
        if block == body_block:
            continue
        start, negative_end = block
        while open_ends and open_ends[-1] <= start:
            open_ends.pop()
        open_ends.append(-negative_end)
        deepest = max(deepest, len(open_ends))
    return deepest


def _nested_deeper_than(tree: tree_sitter.Tree, limit: int) -> bool:
    """Whether `tree` goes more than `limit` levels deep; always found past 1.5 * `limit`.

    Only every `limit // 2`-th node in document order is looked at: the
    nodes from one at depth `limit` to the deepest node below it are
    consecutive in that order and all deeper than `limit`, and a path that
    goes on for more than `limit // 2` levels makes them more than that many.
    """
    stride = max(1, limit // 2)
    cursor = tree.walk()
    for index in range(stride, tree.root_node.descendant_count, stride):
        cursor.goto_descendant(index)
        if cursor.depth > limit:
            return True
    return False


def read_tree(grammar: Grammar, source: bytes) -> FileExtract:
    """Symbols and import entries of one file, from one parse and one query.

    Raises Unreadable for a strict grammar's file with a syntax error or a
    `@foreign` construct.
    """
    tree = grammar.parser.parse(source)
    if grammar.strict and tree.root_node.has_error:
        raise Unreadable("syntax error")
    if grammar.max_depth is not None and _nested_deeper_than(tree, grammar.max_depth):
        raise Unreadable("nested too deeply")
    reader = _Reader(grammar, source)
    reader.collect(tree.root_node)
    if reader.embedded:
        reader.collect_embedded()
    if grammar.strict and reader.foreign:
        raise Unreadable("a construct this grammar leaves to another reader")
    reader.nest()
    reader.attribute()
    return FileExtract(symbols=reader.symbols(), imports=reader.imports, references=reader.references())
