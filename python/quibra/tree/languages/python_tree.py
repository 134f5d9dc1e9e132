"""Python read with tree-sitter: the symbols, metrics and imports of the
`ast` reader in `python`, in about two thirds of its time.

The `ast` reader builds a Python object for every node of a module and
walks them all; here the parse and one query run in C, and Python only
sees definitions, imports and the positions of decisions and blocks.
Every field comes out as the `ast` reader's, checked on every file of the
standard library by tests/test_python_tree.py (on CPython 3.11, 3.12 and
3.13), with one difference of form: a signature is the source text of the
definition's head on one line (comments and line breaks dropped, string
literals as written), not `ast.unparse`'s rendering of it:
`def f(mode="r", size=0x100)` stays as written rather than becoming
`def f(mode='r', size=256)`, as other languages' signatures do.

Files that the `ast` reader decides about (they go to it whole, so the
answer is its answer): a syntax error anywhere (tree-sitter would recover
part of the file, but CPython refuses it), Python 2 statements (`print x`,
`exec code`, `except E, e:`, tuple parameters, `<>`), a tree nested more
than a few hundred levels deep (CPython refuses such files), and text that
is not UTF-8 or in the encoding its coding cookie names. What tree-sitter
accepts and CPython still refuses (a few Python 2 literals such as `0777`
and `10L`, too many nested brackets) is read.

References (calls and decorators, annotations and base classes, imported
names, renamed imports recorded as what they import): see `python`, whose
reader records the same ones.

Decisions and blocks: see `python`. Decisions count in a definition's
body only: a conditional in a default value or a decorator belongs to no
one's complexity, as with `ast`.
"""

from __future__ import annotations

import ast
import codecs
import re
import warnings
from collections.abc import Mapping
from inspect import cleandoc
from pathlib import Path

import tree_sitter_python

from quibra.tree.languages import python, syntax
from quibra.tree.languages.model import FileExtract
from quibra.tree.languages.syntax import Captures, Definition, Head, Node

_COMPREHENSIONS = ("list_comprehension", "set_comprehension", "dictionary_comprehension", "generator_expression")

_QUERY = "\n".join(
    [
        "(function_definition name: (identifier) @name parameters: (parameters) @params body: (block) @body) @function",
        "(class_definition name: (identifier) @name body: (block) @body) @class",
        "[(if_statement) (elif_clause) (for_statement) (while_statement) (except_clause) (conditional_expression)"
        " (assert_statement) (case_clause) (boolean_operator)] @branch",
        # A comprehension's `if`; a `case` guard is an if_clause too, and no decision of its own.
        *(f"({comprehension} (if_clause) @branch)" for comprehension in _COMPREHENSIONS),
        "(block) @block",
        # The block of a `match` only holds its cases, whose blocks are the level below it.
        "(match_statement body: (block) @flat)",
        "(if_statement alternative: (else_clause body: (block) @flat))",
        "[(import_statement) (import_from_statement) (future_import_statement)] @import",
        "[(print_statement) (exec_statement)] @foreign",
        '(except_clause "," @foreign)',
        "(parameters (tuple_pattern) @foreign)",
        "(lambda_parameters (tuple_pattern) @foreign)",
        '(comparison_operator "<>" @foreign)',
        "(call function: (identifier) @ref.call)",
        "(call function: (attribute object: (_) @ref.qualifier attribute: (identifier) @ref.call))",
        # `(obj\n.method)()`, and `[*f()]` where the grammar puts the star on the function.
        "(call function: [(parenthesized_expression (identifier) @ref.call) (list_splat (identifier) @ref.call)])",
        "(call function: [(parenthesized_expression (attribute object: (_) @ref.qualifier attribute: (identifier) @ref.call))"
        " (list_splat (attribute object: (_) @ref.qualifier attribute: (identifier) @ref.call))])",
        "[(typed_parameter type: (type) @ref.types) (typed_default_parameter type: (type) @ref.types)"
        " (function_definition return_type: (type) @ref.types) (assignment type: (type) @ref.types)"
        " (class_definition superclasses: (argument_list) @ref.types)]",
        # A decorator calls what it names.
        "(decorator [(identifier) @ref.call (parenthesized_expression (identifier) @ref.call)])",
        (
            "(decorator [(attribute object: (_) @ref.qualifier attribute: (identifier) @ref.call)"
            " (parenthesized_expression (attribute object: (_) @ref.qualifier attribute: (identifier) @ref.call))])"
        ),
        # `type(x).attr = value`, which the grammar takes for a `type X = ...` alias.
        '(type_alias_statement "type" @ref.call . left: (type [(attribute) (subscript)]))',
    ]
)

# CPython 3.11 and 3.12 refuse expressions nested about 3,000 deep; real
# code stays under a hundred levels of syntax tree.
_MAX_DEPTH = 500

_SEPARATORS = frozenset({"positional_separator", "keyword_separator"})
# Statements that end with a block, or with a clause that does: where the
# last statement of a body ends is found by descending through them.
_COMPOUND = frozenset(
    {
        "block",
        "function_definition",
        "class_definition",
        "decorated_definition",
        "if_statement",
        "elif_clause",
        "else_clause",
        "for_statement",
        "while_statement",
        "try_statement",
        "except_clause",
        "finally_clause",
        "with_statement",
        "match_statement",
        "case_clause",
    }
)
_STRING_EXPRESSIONS = frozenset({"string", "concatenated_string", "parenthesized_expression"})


def _define(kind: str, captures: Captures, source: bytes) -> Definition | None:
    definition = syntax.plain_definition(kind, captures, source)
    if definition is not None:
        # Decorators are part of the definition: what they hold is its own, outside its body.
        parent = definition.node.parent
        if parent is not None and parent.type == "decorated_definition":
            definition.node = parent
    return definition


def _is_flat(block: Node) -> bool:
    """Whether a block captured as `@flat` opens no level: a `match`'s, or an
    `else:` holding a lone `if`, which is an `elif` to `ast` (it cannot tell them apart)."""
    parent = block.parent
    if parent is not None and parent.type == "match_statement":
        return True
    statement = _first_named(block)
    return statement is not None and statement.type == "if_statement" and _last_named(block) == statement


def _count_params(params: Node) -> int:
    return sum(1 for child in params.named_children if not child.is_extra and child.type not in _SEPARATORS)


def _last_named(node: Node) -> Node | None:
    """The last named child of `node` that is code: no comment or line continuation."""
    child = node.named_child(node.named_child_count - 1) if node.named_child_count else None
    while child is not None and child.is_extra:
        child = child.prev_named_sibling
    return child


def _first_named(node: Node) -> Node | None:
    """The first named child of `node` that is code."""
    child = node.named_child(0) if node.named_child_count else None
    while child is not None and child.is_extra:
        child = child.next_named_sibling
    return child


def _end_row(node: Node) -> int:
    """The last row of the code of `node`: comments trailing a block are inside it
    for tree-sitter, and after it for `ast`."""
    while node.type in _COMPOUND:
        last = _last_named(node)
        if last is None:
            break
        node = last
    return node.end_point.row


# The head of a definition as one line: string literals kept as written,
# each gap that holds a line break, a comment or a line continuation made
# one space, or nothing just inside a bracket; spaces within a line as written.
_HEAD_PIECES = re.compile(
    r"""(?P<string>[A-Za-z]{0,2}(?:'''(?:\\.|[^\\])*?'''|\"\"\"(?:\\.|[^\\])*?\"\"\"|'(?:\\.|[^'\\\n])*'|"(?:\\.|[^"\\\n])*"))"""
    r"""|(?P<gap>[ \t\f]*(?:(?:\n|\\\n|\#[^\n]*)[ \t\f]*)+)""",
    re.DOTALL,
)
_OPENING = frozenset("([{")
_CLOSING = frozenset(")]},")


def _one_line(head: str) -> str:
    if "\n" not in head and "#" not in head:
        return head  # a line continuation breaks a line too

    def piece(found: re.Match[str]) -> str:
        if found.lastgroup == "string":
            return found.group()
        before = head[found.start() - 1] if found.start() else "("
        after = head[found.end()] if found.end() < len(head) else ")"
        return "" if before in _OPENING or after in _CLOSING else " "

    return _HEAD_PIECES.sub(piece, head)


def _signature(definition: Definition, definition_node: Node, source: bytes) -> str:
    """`def name(params) -> returns` or `class Name(bases)`, as written, on one line."""
    brackets: Node | None
    last: Node | None
    if definition.kind == "class":
        brackets = definition_node.child_by_field_name("superclasses")
        last = brackets or definition_node.child_by_field_name("type_parameters") or definition.name_node
    else:
        brackets = definition.params
        last = definition_node.child_by_field_name("return_type") or brackets
    assert last is not None  # the query matched parameters
    start, end = definition_node.start_byte, last.end_byte
    comma = _trailing_comma(brackets) if brackets is not None else None
    if comma is not None:
        # `def f(a, b,)` is `def f(a, b)`.
        return _one_line((source[start : comma.start_byte] + source[comma.end_byte : end]).decode("utf-8"))
    return _one_line(source[start:end].decode("utf-8"))


def _trailing_comma(brackets: Node) -> Node | None:
    """The comma before the closing parenthesis of parameters or bases, if any."""
    closing = brackets.child(brackets.child_count - 1) if brackets.child_count else None
    before = closing.prev_sibling if closing is not None else None
    while before is not None and before.is_extra:
        before = before.prev_sibling
    return before if before is not None and before.type == "," else None


def _docstring(body: Node, source: bytes) -> str:
    """What `ast.get_docstring` gives: a string literal standing alone as the
    body's first statement, evaluated and cleaned; not an f-string, not bytes."""
    first = _first_named(body)
    if first is None or first.type != "expression_statement" or first.named_child_count != 1:
        return ""
    expression = first.named_child(0)
    if expression is None or expression.type not in _STRING_EXPRESSIONS:
        return ""
    inner = expression
    while inner.type == "parenthesized_expression":
        unwrapped = _first_named(inner)
        if unwrapped is None or unwrapped.type not in _STRING_EXPRESSIONS:
            return ""
        inner = unwrapped
    literal = source[expression.start_byte : expression.end_byte].decode("utf-8")
    value = _plain_string(literal) if inner is expression and inner.type == "string" else None
    if value is None:
        value = _evaluated(literal)
    return cleandoc(value) if value else ""


_QUOTES = ('"""', "'''", '"', "'")


def _plain_string(literal: str) -> str | None:
    """The value of a string literal without escapes or a prefix that changes it, else None."""
    if "\\" in literal:
        return None
    body = literal[1:] if literal[0] in "rRuU" else literal
    for quote in _QUOTES:
        if body.startswith(quote):
            return body[len(quote) : -len(quote)]
    return None  # b'', f'' and other prefixes: evaluated, or refused, the long way


def _evaluated(literal: str) -> str:
    """The value of a string expression (escapes, implicit concatenation,
    parentheses), or "" when it is not a constant string."""
    try:
        with warnings.catch_warnings():
            # An invalid escape such as "\\d" warns, and still means itself.
            warnings.simplefilter("ignore")
            value = ast.literal_eval(literal)
    except (ValueError, SyntaxError, TypeError, MemoryError, RecursionError):
        return ""
    return value if isinstance(value, str) else ""


def _describe(definition: Definition, source: bytes) -> Head:
    node = definition.node
    definition_node = definition.name_node.parent
    assert definition_node is not None
    line = definition_node.start_point.row
    start = line
    if node.type == "decorated_definition":
        decorator = _first_named(node)
        expression = _first_named(decorator) if decorator is not None else None
        if expression is not None:
            # `ast` puts a decorator where its expression starts, after the `@`.
            start = min(start, expression.start_point.row)
    body = definition.body
    assert body is not None
    return Head(
        line=line + 1,
        start_line=start + 1,
        end_line=_end_row(definition_node) + 1,
        signature=_signature(definition, definition_node, source),
        docstring=_docstring(body, source),
    )


_NOT_IN_NAMES = re.compile(r"[\s\\]")


def _dotted(node: Node, source: bytes) -> str:
    """A dotted name as `ast` has it: `os . path` and `os.\\<newline>path` are os.path."""
    return _NOT_IN_NAMES.sub("", syntax.text(node, source))


def _imported_name(node: Node, source: bytes) -> str:
    if node.type == "aliased_import":
        name = node.child_by_field_name("name")
        return _dotted(name, source) if name is not None else ""
    return _dotted(node, source)


def _new_name(node: Node, source: bytes) -> str | None:
    """The `as` name of an imported name, if it has one."""
    alias = node.child_by_field_name("alias") if node.type == "aliased_import" else None
    return python.identifier(syntax.text(alias, source)) if alias is not None else None


def _imports(node: Node, source: bytes) -> list[object]:
    """[module, names of a `from` import, leading dots, new names], as the `ast` reader records them."""
    imported = node.children_by_field_name("name")
    names = [_imported_name(name, source) for name in imported]
    if node.type == "import_statement":
        return [[name, [], 0, python.renamed([_new_name(each, source)])] for name, each in zip(names, imported)]
    new_names = python.renamed([_new_name(each, source) for each in imported])
    if node.type == "future_import_statement":
        return [["__future__", names, 0, new_names]]
    if any(child.type == "wildcard_import" for child in node.named_children):
        names = ["*"]
    module = node.child_by_field_name("module_name")
    if module is None:
        return []
    if module.type != "relative_import":
        return [[_dotted(module, source), names, 0, new_names]]
    prefix, dotted = None, None
    for part in module.named_children:
        if part.type == "import_prefix":
            prefix = part
        elif part.type == "dotted_name":
            dotted = part
    level = syntax.text(prefix, source).count(".") if prefix is not None else 0
    return [[_dotted(dotted, source) if dotted is not None else "", names, level, new_names]]


# Nodes of an annotation (or a list of base classes) whose parts may name types.
_TYPE_HOLDERS = frozenset(
    {"type", "generic_type", "type_parameter", "union_type", "binary_operator", "subscript", "list", "tuple",
     "argument_list", "list_splat", "splat_type"}
)


def _type_references(node: Node, source: bytes) -> list[syntax.NamedUse]:
    """The names and dotted names in an annotation or a class's bases, as
    `python.annotation_names` finds them in the `ast` of the same code."""
    uses: list[syntax.NamedUse] = []
    pending = [node]
    while pending:
        part = pending.pop()
        kind = part.type
        if kind == "identifier":
            uses.append((syntax.text(part, source), part, ""))
        elif kind == "attribute":
            owner, name = part.child_by_field_name("object"), part.child_by_field_name("attribute")
            if owner is not None and name is not None and _is_dotted(owner):
                uses.append((syntax.text(name, source), name, _dotted(owner, source)))
        elif kind in _TYPE_HOLDERS:
            pending.extend(reversed([child for child in part.named_children if not child.is_extra]))
    return uses


def _is_dotted(node: Node) -> bool:
    while node.type == "attribute":
        owner = node.child_by_field_name("object")
        if owner is None:
            return False
        node = owner
    return node.type == "identifier"


def _import_references(node: Node, source: bytes) -> list[syntax.NamedUse]:
    """Each imported name, as `python.import_names` records it."""
    uses: list[syntax.NamedUse] = []
    if node.type == "import_statement":
        for imported in node.children_by_field_name("name"):
            dotted = imported.child_by_field_name("name") if imported.type == "aliased_import" else imported
            if dotted is not None:
                qualifier, _, name = _dotted(dotted, source).rpartition(".")
                uses.append((name, dotted, qualifier))
        return uses
    if node.type == "future_import_statement":
        module = "__future__"
    else:
        module_node = node.child_by_field_name("module_name")
        if module_node is None:
            return []
        module = _dotted(module_node, source)
    for imported in node.children_by_field_name("name"):
        dotted = imported.child_by_field_name("name") if imported.type == "aliased_import" else imported
        if dotted is not None:
            uses.append((_dotted(dotted, source), dotted, module))
    for child in node.named_children:
        if child.type == "wildcard_import":
            uses.append(("*", child, module))
    return uses


GRAMMAR = syntax.Grammar(
    name="python",
    language=syntax.load_language(tree_sitter_python.language),
    query_text=_QUERY,
    define=_define,
    count_params=_count_params,
    imports=_imports,
    import_references=_import_references,
    type_references=_type_references,
    qualifier_text=python.qualifier_text,
    name_text=python.identifier,
    is_flat=_is_flat,
    describe=_describe,
    body_only=True,
    strict=True,
    max_depth=_MAX_DEPTH,
)

_UTF8_BOM = codecs.BOM_UTF8
# PEP 263: a coding cookie in a comment on one of the first two lines.
_CODING = re.compile(rb"^[ \t\f]*#.*?coding[:=][ \t]*([-\w.]+)")


def _as_utf8(source: bytes) -> bytes | None:
    """`source` in UTF-8 with Python's line ends (\\n), lines where they were; None
    when its encoding, or a null byte, is something only the `ast` reader should judge."""
    if b"\0" in source:
        return None
    if source.startswith(_UTF8_BOM):
        source = source[len(_UTF8_BOM) :]
        if _cookie(source) is not None:
            return None  # CPython takes `utf-8` beside a BOM, but not `utf8`: its own spelling rules
    encoding = _cookie(source)
    try:
        if encoding is None or encoding == "utf-8":
            source.decode("utf-8")
        else:
            source = source.decode(encoding).encode("utf-8")
    except (UnicodeError, LookupError):
        return None
    if b"\r" in source:
        # The tokenizer reads \r\n and a lone \r as line ends, both in code and in string literals.
        source = source.replace(b"\r\n", b"\n").replace(b"\r", b"\n")
    return source


def _cookie(source: bytes) -> str | None:
    """The normalised name of the encoding that a coding cookie declares, if any."""
    first, _, rest = source.partition(b"\n")
    for line in (first, rest.partition(b"\n")[0]):
        found = _CODING.match(line)
        if found:
            try:
                return codecs.lookup(found.group(1).decode("ascii")).name
            except (LookupError, UnicodeDecodeError):
                return "unknown"
        if line.strip() and not line.lstrip().startswith(b"#"):
            break  # the cookie may only follow a comment or blank line
    return None


def read(path: str, source: bytes) -> FileExtract:
    """Symbols and imports of one Python file; the `ast` reader decides for a
    file that tree-sitter cannot read as CPython would."""
    text = _as_utf8(source)
    if text is None:
        return python.read(path, source)
    try:
        extract = syntax.read_tree(GRAMMAR, text)
    except syntax.Unreadable:
        return python.read(path, source)
    return python.unaliased(extract)


def resolve(root: Path, files: Mapping[str, list[object]], paths: frozenset[str]) -> list[tuple[str, str]]:
    return python.resolve(root, files, paths)
