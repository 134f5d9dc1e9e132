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
  does not parse cleanly.

Matching runs in C; Python only sees the captures. Walking every node from
Python would cost about a microsecond a node, several times the parse
itself. Branches and blocks are attributed afterwards to the innermost
enclosing symbol by byte offsets, and nesting comes from how block ranges
contain one another, so neither needs the tree again.
"""

from __future__ import annotations

import re
import textwrap
from bisect import bisect_left, bisect_right
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field
from typing import NamedTuple, Protocol

import tree_sitter

from quibra.languages.model import FileExtract, Symbol

Node = tree_sitter.Node
Captures = dict[str, list[Node]]

SYMBOL_KINDS = frozenset({"function", "method", "class", "struct", "interface", "trait", "enum"})
CONTAINER_KINDS = frozenset({"class", "struct", "interface", "trait", "enum", "impl"})
SCOPE_KINDS = frozenset({"scope", "impl"})
_DEFINITION_CAPTURES = SYMBOL_KINDS | SCOPE_KINDS


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
        for role in ("branch", "multiway", "block", "flat", "import", "foreign", *sorted(_DEFINITION_CAPTURES)):
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


# Comment markers: `/**`, `/*!`, `/*`, `*/`, the `*` that starts each line of
# a block comment, and `///`, `//!`, `//` with the space after them.
_BLOCK_OPEN = re.compile(r"^/\*[*!]?")
_BLOCK_CLOSE = re.compile(r"\*+/$")
_BLOCK_LINE_STAR = re.compile(r"^[ \t]*\*(?!/) ?", re.MULTILINE)
_LINE_MARKER = re.compile(r"^[ \t]*//[/!]? ?", re.MULTILINE)


def strip_comment(comment: str) -> str:
    """The text of one comment (or of a run of line comments) without its markers, dedented."""
    comment = comment.rstrip()
    if comment.startswith("/*"):
        body = _BLOCK_CLOSE.sub("", _BLOCK_OPEN.sub("", comment, count=1))
        first, _, rest = body.partition("\n")
        # The first line follows the opening marker: the others are dedented among themselves.
        stripped = first.strip() + "\n" + textwrap.dedent(_BLOCK_LINE_STAR.sub("", rest)) if rest else first.strip()
    else:
        stripped = textwrap.dedent(_LINE_MARKER.sub("", comment))
    return "\n".join(line.rstrip() for line in stripped.split("\n")).strip("\n")


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
    parent: int = -1
    decisions: int = 0
    blocks: list[tuple[int, int]] = field(default_factory=list)


class _Reader:
    """One file's captures, turned into symbols."""

    def __init__(self, grammar: Grammar, source: bytes) -> None:
        self.grammar = grammar
        self.source = source
        self.entries: list[_Entry] = []
        self.branches: list[tuple[int, int]] = []  # (byte offset, weight)
        self.blocks: list[tuple[int, int]] = []
        self.flat: set[tuple[int, int]] = set()
        self.imports: list[object] = []
        self.namespaces: set[str] = set()
        self.foreign = False

    def collect(self, root: Node) -> None:
        grammar, source = self.grammar, self.source
        roles = grammar._roles
        define = grammar.define
        for pattern, captures in tree_sitter.QueryCursor(grammar.query).matches(root):
            role = roles[pattern]
            if role == "branch":
                self.branches.append((captures["branch"][0].start_byte, 1))
            elif role == "block":
                node = captures["block"][0]
                self.blocks.append((node.start_byte, node.end_byte))
            elif role == "multiway":
                self.branches.append((captures["multiway"][0].start_byte, -1))
            elif role == "import":
                self.imports.extend(grammar.imports(captures["import"][0], source))
            elif role == "flat":
                node = captures["flat"][0]
                if grammar.is_flat(node):
                    self.flat.add((node.start_byte, node.end_byte))
            elif role == "foreign":
                self.foreign = True
            else:
                definition = define(role, captures, source)
                if definition is not None:
                    self.entries.append(self._entry(definition))

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
        """Sort the definitions and link each to the one that encloses it."""
        # Two patterns may describe the same node (a C++ method declared in a
        # class and matched as a prototype too): the first description stands.
        unique: dict[tuple[int, int], _Entry] = {}
        for entry in self.entries:
            unique.setdefault((entry.start, entry.end), entry)
        self.entries = sorted(unique.values(), key=lambda entry: (entry.start, -entry.end))
        self.namespaces = {entry.definition.name for entry in self.entries if entry.definition.kind == "scope"}
        open_entries: list[int] = []
        for index, entry in enumerate(self.entries):
            while open_entries and self.entries[open_entries[-1]].end <= entry.start:
                open_entries.pop()
            entry.parent = open_entries[-1] if open_entries else -1
            open_entries.append(index)

    def attribute(self) -> None:
        """Give each branch and block to the innermost symbol around it."""
        symbols = [index for index, entry in enumerate(self.entries) if entry.definition.kind in SYMBOL_KINDS]
        starts = [self.entries[index].start for index in symbols]
        owner_of = self._owner_finder(symbols, starts)
        entries = self.entries
        for offset, weight in self.branches:
            owner = owner_of(offset)
            if owner >= 0 and entries[owner].own_start <= offset < entries[owner].own_end:
                entries[owner].decisions += weight
        flat = self.flat
        for block in self.blocks:
            # A Python block starts at its first statement, which may be a
            # definition: the block is then around that one, not inside it.
            owner = owner_of(block[0], inside=True)
            if owner >= 0 and entries[owner].own_start <= block[0] < entries[owner].own_end and block not in flat:
                entries[owner].blocks.append(block)

    def _owner_finder(self, symbols: list[int], starts: list[int]) -> Callable[..., int]:
        entries = self.entries

        def owner_of(offset: int, inside: bool = False) -> int:
            """The innermost symbol around `offset`; one that starts there only unless `inside`."""
            position = (bisect_left(starts, offset) if inside else bisect_right(starts, offset)) - 1
            if position < 0:
                return -1
            index = symbols[position]
            while index >= 0 and (offset >= entries[index].end or entries[index].definition.kind not in SYMBOL_KINDS):
                index = entries[index].parent
            return index

        return owner_of

    def symbols(self) -> list[Symbol]:
        out = []
        for entry in self.entries:
            if entry.definition.kind in SYMBOL_KINDS:
                out.append(self._symbol(entry))
        return out

    def _scope_names(self, entry: _Entry) -> tuple[list[str], int, str | None]:
        """(names of the enclosing definitions, outermost first; how many are
        symbols; the kind of the innermost)."""
        names: list[str] = []
        symbols = 0
        innermost: str | None = None
        index = entry.parent
        while index >= 0:
            outer = self.entries[index].definition
            names[:0] = [*outer.qualifier, outer.name]
            if innermost is None:
                innermost = outer.kind
            symbols += outer.kind in SYMBOL_KINDS
            index = self.entries[index].parent
        return names, symbols, innermost

    def _symbol(self, entry: _Entry) -> Symbol:
        definition = entry.definition
        scope, depth, innermost = self._scope_names(entry)
        kind = definition.kind
        if kind == "function" and (innermost in CONTAINER_KINDS or self._qualified_by_type(definition)):
            kind = "method"
        describe = self.grammar.describe
        head = describe(definition, self.source) if describe is not None else self._head(definition)
        return Symbol(
            name=definition.name,
            qualname=self.grammar.separator.join([*scope, *definition.qualifier, definition.name]),
            kind=kind,
            line=head.line,
            start_line=head.start_line,
            end_line=head.end_line,
            depth=depth,
            param_count=self.grammar.count_params(definition.params) if definition.params is not None else 0,
            cyclomatic=max(1, 1 + entry.decisions),
            max_nesting=_max_nesting(entry.blocks, definition.body),
            signature=head.signature,
            docstring=head.docstring,
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
        parent = node.parent
        while parent is not None and parent.type in wrappers and _holds_only(parent, node):
            node, parent = parent, parent.parent
        return node

    def _leading(self, anchor: Node) -> tuple[int, str]:
        """(first row of the definition with its attributes and doc comment, the docstring).

        Only what stands directly above counts: a blank line, a statement or
        a comment trailing code ends the search.
        """
        grammar, source = self.grammar, self.source
        style = grammar.doc_style
        adjacent_row = first_row = anchor.start_point.row
        comments: list[Node] = []
        sibling = anchor.prev_named_sibling
        while sibling is not None and _last_row(sibling) >= adjacent_row - 1:
            if sibling.type in grammar.attributes:
                first_row = sibling.start_point.row
            elif sibling.type in grammar.comment_types and _starts_its_line(sibling, source):
                comments.append(sibling)
            else:
                break
            adjacent_row = sibling.start_point.row
            if style.javadoc_only and comments:
                break
            sibling = sibling.prev_named_sibling
        docs = [comment for comment in reversed(comments) if style.accepts(text(comment, source))]
        if docs:
            first_row = min(first_row, docs[0].start_point.row)
        return first_row, join_comments(text(comment, source) for comment in docs)

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


def _last_row(node: Node) -> int:
    """The last row holding text of `node` (a line comment may end on the next row's column 0)."""
    end = node.end_point
    return end.row - 1 if end.column == 0 and end.row > node.start_point.row else end.row


def _starts_its_line(node: Node, source: bytes) -> bool:
    """Whether only whitespace stands before `node` on its line: not a trailing comment."""
    line_start = source.rfind(b"\n", 0, node.start_byte) + 1
    return not source[line_start : node.start_byte].strip()


def _max_nesting(blocks: Sequence[tuple[int, int]], body: Node | None) -> int:
    """Deepest level of the blocks in a symbol's own code; its body itself is level 0."""
    body_range = (body.start_byte, body.end_byte) if body is not None else None
    deepest = 0
    open_ends: list[int] = []
    for start, end in sorted((block for block in blocks if block != body_range), key=_outer_first):
        while open_ends and open_ends[-1] <= start:
            open_ends.pop()
        open_ends.append(end)
        deepest = max(deepest, len(open_ends))
    return deepest


def _outer_first(block: tuple[int, int]) -> tuple[int, int]:
    return block[0], -block[1]


def _nested_deeper_than(tree: tree_sitter.Tree, limit: int) -> bool:
    """Whether `tree` goes more than `limit` levels deep, or nearly so.

    Every `limit // 2`-th node in document order is looked at, without
    walking the rest: a path deeper than 1.5 * `limit` runs through more
    than `limit // 2` consecutive nodes of that order below depth `limit`,
    and one of them is looked at.
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
    if grammar.strict and reader.foreign:
        raise Unreadable("a construct this grammar leaves to another reader")
    reader.nest()
    reader.attribute()
    return FileExtract(symbols=reader.symbols(), imports=reader.imports)
