"""Symbols and imports of Python files, read with `ast`.

A symbol is a function, a method or a class. For each one quibra keeps what
the engine's channels and scorers need: where it is, how it is called, its
docstring, its size in tokens and two measures of how hard it is to follow
(cyclomatic complexity and nesting depth). Imports are kept per file so the
structural channel can rank files by their place in the import graph.
"""

from __future__ import annotations

import ast
import importlib.util
from dataclasses import dataclass, field
from pathlib import Path

# Rough cost of text in a model's context window: about four characters a token.
CHARACTERS_PER_TOKEN = 4

_DEFINITIONS = (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)

# Nodes that each add one way through the code.
_BRANCHES = (
    ast.If,
    ast.For,
    ast.AsyncFor,
    ast.While,
    ast.ExceptHandler,
    ast.IfExp,
    ast.Assert,
    ast.match_case,
)

# Statements that open a nested block.
_BLOCKS = (
    ast.If,
    ast.For,
    ast.AsyncFor,
    ast.While,
    ast.With,
    ast.AsyncWith,
    ast.Try,
    ast.TryStar,
    ast.Match,
)


@dataclass(frozen=True)
class Symbol:
    id: str
    name: str
    qualname: str
    kind: str  # "function", "method" or "class"
    file: str
    line: int
    param_count: int
    cyclomatic: int
    max_nesting: int
    signature: str
    docstring: str
    tokens: int

    def search_text(self) -> str:
        """The text the lexical channel indexes: where it lives, how it is called, what it says."""
        return f"{self.qualname} {self.signature} {self.docstring}"


@dataclass(frozen=True)
class ImportStatement:
    module: str  # dotted name as written; empty for `from . import x`
    names: tuple[str, ...]  # imported names of a `from` import; empty for `import a.b`
    level: int  # leading dots of a relative import


@dataclass
class SourceFile:
    path: str
    symbols: list[Symbol] = field(default_factory=list)
    imports: list[ImportStatement] = field(default_factory=list)


# Leaf markers (Load, Add, And, Eq, ...) hang under nearly every expression
# and can never be a decision point; skipping them roughly halves the walk.
_MARKERS = (ast.expr_context, ast.operator, ast.boolop, ast.cmpop, ast.unaryop)


def _own_nodes(body: list[ast.stmt]):
    """Every node of `body`, without descending into nested functions or classes.

    Nested definitions are symbols of their own; their branches are theirs.
    Lambdas stay: they are expressions of the code around them.
    """
    pending: list[ast.AST] = list(body)
    while pending:
        node = pending.pop()
        if isinstance(node, _DEFINITIONS):
            continue
        yield node
        for name in node._fields:
            value = getattr(node, name, None)
            if isinstance(value, list):
                pending.extend(
                    item for item in value if isinstance(item, ast.AST) and not isinstance(item, _MARKERS)
                )
            elif isinstance(value, ast.AST) and not isinstance(value, _MARKERS):
                pending.append(value)


def cyclomatic_complexity(body: list[ast.stmt]) -> int:
    """1 plus the decision points of `body`.

    Each `and`/`or` chain of n operands adds n - 1: every operator is a place
    where evaluation may stop. Each `if` of a comprehension adds one.
    """
    decisions = 0
    for node in _own_nodes(body):
        if isinstance(node, _BRANCHES):
            decisions += 1
        elif isinstance(node, ast.BoolOp):
            decisions += len(node.values) - 1
        elif isinstance(node, ast.comprehension):
            decisions += len(node.ifs)
    return 1 + decisions


def _inner_blocks(statement: ast.stmt, depth: int):
    """(block body, depth of its statements) for each block `statement` opens."""
    inner = depth + 1
    if isinstance(statement, ast.If):
        yield statement.body, inner
        # An `elif` is an If nested in `orelse`, but reads as a sibling branch.
        is_elif = len(statement.orelse) == 1 and isinstance(statement.orelse[0], ast.If)
        yield statement.orelse, depth if is_elif else inner
    elif isinstance(statement, (ast.For, ast.AsyncFor, ast.While)):
        yield statement.body, inner
        yield statement.orelse, inner
    elif isinstance(statement, (ast.With, ast.AsyncWith)):
        yield statement.body, inner
    elif isinstance(statement, (ast.Try, ast.TryStar)):
        yield statement.body, inner
        for handler in statement.handlers:
            yield handler.body, inner
        yield statement.orelse, inner
        yield statement.finalbody, inner
    elif isinstance(statement, ast.Match):
        for case in statement.cases:
            yield case.body, inner


def max_nesting(body: list[ast.stmt], depth: int = 0) -> int:
    """Deepest block level in `body`: 0 for straight-line code, 1 inside one `if`, and so on."""
    deepest = depth
    for statement in body:
        if isinstance(statement, _BLOCKS):
            for block, block_depth in _inner_blocks(statement, depth):
                if block:
                    deepest = max(deepest, max_nesting(block, block_depth))
    return deepest


def _param_count(arguments: ast.arguments) -> int:
    count = len(arguments.posonlyargs) + len(arguments.args) + len(arguments.kwonlyargs)
    return count + (arguments.vararg is not None) + (arguments.kwarg is not None)


def _signature(node: ast.FunctionDef | ast.AsyncFunctionDef | ast.ClassDef) -> str:
    if isinstance(node, ast.ClassDef):
        bases = ", ".join(ast.unparse(base) for base in [*node.bases, *node.keywords])
        return f"class {node.name}({bases})" if bases else f"class {node.name}"
    prefix = "async def" if isinstance(node, ast.AsyncFunctionDef) else "def"
    returns = f" -> {ast.unparse(node.returns)}" if node.returns is not None else ""
    return f"{prefix} {node.name}({ast.unparse(node.args)}){returns}"


def _source_lines(node: ast.AST, lines: list[str]) -> str:
    # Decorators belong to the symbol: they are part of what a reader must see.
    first = min([node.lineno, *(decorator.lineno for decorator in getattr(node, "decorator_list", []))])
    return "\n".join(lines[first - 1 : node.end_lineno])


def estimate_tokens(source: str) -> int:
    return max(1, len(source) // CHARACTERS_PER_TOKEN)


def _statement_blocks(statement: ast.stmt):
    """The statement lists nested directly in `statement`.

    Definitions and imports are statements, and statements only ever sit in
    these lists, so a walk over them finds every one without visiting the
    far more numerous expression nodes.
    """
    for name in ("body", "orelse", "finalbody"):
        block = getattr(statement, name, None)
        if block:
            yield block
    for handler in getattr(statement, "handlers", ()):
        yield handler.body
    for case in getattr(statement, "cases", ()):
        yield case.body


class _ModuleReader:
    """Walks the statements of one module: every function, method and class
    in source order, and every import, wherever it stands."""

    def __init__(self, path: str, lines: list[str]):
        self.path = path
        self.lines = lines
        self.symbols: list[Symbol] = []
        self.imports: list[ImportStatement] = []
        self._ids: set[str] = set()

    def read(self, block: list[ast.stmt], scope: tuple[str, ...], in_class: bool) -> None:
        for statement in block:
            if isinstance(statement, _DEFINITIONS):
                qualname = ".".join((*scope, statement.name))
                self._record(statement, qualname, in_class)
                self.read(statement.body, (*scope, statement.name), isinstance(statement, ast.ClassDef))
            elif isinstance(statement, ast.Import):
                self.imports.extend(ImportStatement(alias.name, (), 0) for alias in statement.names)
            elif isinstance(statement, ast.ImportFrom):
                names = tuple(alias.name for alias in statement.names)
                self.imports.append(ImportStatement(statement.module or "", names, statement.level))
            else:
                # Definitions under `if`, `try` or `with` still belong to this scope.
                for inner in _statement_blocks(statement):
                    self.read(inner, scope, in_class)

    def _unique_id(self, qualname: str, line: int) -> str:
        # A name defined twice in one scope (property setters, version
        # switches) would otherwise merge two symbols into one id.
        symbol_id = f"{self.path}:{qualname}"
        if symbol_id in self._ids:
            symbol_id = f"{symbol_id}@{line}"
        self._ids.add(symbol_id)
        return symbol_id

    def _record(self, node, qualname: str, in_class: bool) -> None:
        if isinstance(node, ast.ClassDef):
            kind, params = "class", 0
        else:
            kind, params = ("method" if in_class else "function"), _param_count(node.args)
        self.symbols.append(
            Symbol(
                id=self._unique_id(qualname, node.lineno),
                name=node.name,
                qualname=qualname,
                kind=kind,
                file=self.path,
                line=node.lineno,
                param_count=params,
                cyclomatic=cyclomatic_complexity(node.body),
                max_nesting=max_nesting(node.body),
                signature=_signature(node),
                docstring=ast.get_docstring(node) or "",
                tokens=estimate_tokens(_source_lines(node, self.lines)),
            )
        )


def read_source_file(root: Path, path: str) -> SourceFile:
    """Symbols and imports of the file `root / path`.

    Raises SyntaxError (or ValueError for null bytes) when the file is not
    valid Python, OSError when it cannot be read.
    """
    raw = (root / path).read_bytes()
    tree = ast.parse(raw, filename=path)
    # decode_source honours the coding cookie and turns every line ending
    # into "\n", so the lines match the line numbers that ast reports.
    lines = importlib.util.decode_source(raw).split("\n")
    reader = _ModuleReader(path, lines)
    reader.read(tree.body, (), False)
    return SourceFile(path=path, symbols=reader.symbols, imports=reader.imports)
