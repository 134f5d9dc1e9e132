"""Python: symbols read with `ast`, imports resolved as the interpreter would.

A symbol is a function, a method or a class. References: calls (`f()`,
`a.b.f()` through a.b, `super().f()` through super()) and decorators, which
call what they name (`@cache`, `@functools.wraps`), the names and dotted
names in annotations and base classes (type uses), and each imported name
(`from m import a as b` is a through m, `import a.b` is b through a, `from
. import x` x through `.`). A name that an import renamed is recorded as
what it imports: after `from m import a as b`, `b()` calls a through m and
`b.f()` f through m.a; after `import numpy as np`, `np.f()` calls f through
numpy. Attribute reads are left out:
they would outnumber everything else and mostly name data, not code. Cyclomatic complexity and
nesting depth count the definition's own body: nested functions and classes
are symbols of their own, and their branches are theirs.

The index reads Python with `python_tree`, which gives the same symbols
faster; this reader is its oracle in the tests, reads the files it leaves
aside, and stands in for it when tree-sitter-python cannot be loaded.
"""

from __future__ import annotations

import ast
import dataclasses
import importlib.util
import re
import unicodedata
import warnings
from bisect import bisect_right
from collections.abc import Iterator, Mapping
from pathlib import Path, PurePosixPath

from quibra.tree.languages.model import FileExtract, Reference, SkipFile, Symbol

_DEFINITIONS = (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)
_Definition = ast.FunctionDef | ast.AsyncFunctionDef | ast.ClassDef

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

# Leaf markers (Load, Add, And, Eq, ...) hang under nearly every expression
# and can never be a decision point; skipping them roughly halves the walk.
_MARKERS = (ast.expr_context, ast.operator, ast.boolop, ast.cmpop, ast.unaryop)


def _own_nodes(body: list[ast.stmt]) -> Iterator[ast.AST]:
    """Every node of `body`, without descending into nested functions or classes.

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


def _inner_blocks(statement: ast.stmt, depth: int) -> Iterator[tuple[list[ast.stmt], int]]:
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


def _signature(node: _Definition) -> str:
    if isinstance(node, ast.ClassDef):
        bases = ", ".join(ast.unparse(base) for base in [*node.bases, *node.keywords])
        return f"class {node.name}({bases})" if bases else f"class {node.name}"
    prefix = "async def" if isinstance(node, ast.AsyncFunctionDef) else "def"
    returns = f" -> {ast.unparse(node.returns)}" if node.returns is not None else ""
    return f"{prefix} {node.name}({ast.unparse(node.args)}){returns}"


def _statement_blocks(statement: ast.stmt) -> Iterator[list[ast.stmt]]:
    """The statement lists nested directly in `statement`.

    Definitions and imports are statements, and statements only ever sit in
    these lists, so a walk over them finds every one without visiting the
    far more numerous expression nodes.
    """
    # In source order: a `try` holds its handlers between its body and its `else`.
    body = getattr(statement, "body", None)
    if body:
        yield body
    for handler in getattr(statement, "handlers", ()):
        yield handler.body
    for name in ("orelse", "finalbody"):
        block = getattr(statement, name, None)
        if block:
            yield block
    for case in getattr(statement, "cases", ()):
        yield case.body


class _ModuleReader:
    """Walks the statements of one module: every function, method and class
    in source order, and every import, wherever it stands."""

    def __init__(self) -> None:
        self.symbols: list[Symbol] = []
        # [module as written, imported names of a `from` import, leading dots, new names]
        self.imports: list[object] = []

    def read(self, block: list[ast.stmt], scope: tuple[str, ...], in_class: bool) -> None:
        for statement in block:
            if isinstance(statement, _DEFINITIONS):
                self._record(statement, scope, in_class)
                self.read(statement.body, (*scope, statement.name), isinstance(statement, ast.ClassDef))
            elif isinstance(statement, ast.Import):
                self.imports.extend([alias.name, [], 0, renamed([alias.asname])] for alias in statement.names)
            elif isinstance(statement, ast.ImportFrom):
                names = [alias.name for alias in statement.names]
                new_names = renamed([alias.asname for alias in statement.names])
                self.imports.append([statement.module or "", names, statement.level, new_names])
            else:
                # Definitions under `if`, `try` or `with` still belong to this scope.
                for inner in _statement_blocks(statement):
                    self.read(inner, scope, in_class)

    def _record(self, node: _Definition, scope: tuple[str, ...], in_class: bool) -> None:
        if isinstance(node, ast.ClassDef):
            kind, params = "class", 0
        else:
            kind, params = ("method" if in_class else "function"), _param_count(node.args)
        # Decorators belong to the symbol: they are part of what a reader must see.
        first = min([node.lineno, *(decorator.lineno for decorator in node.decorator_list)])
        self.symbols.append(
            Symbol(
                name=node.name,
                qualname=".".join((*scope, node.name)),
                kind=kind,
                line=node.lineno,
                start_line=first,
                end_line=node.end_lineno or node.lineno,
                depth=len(scope),
                param_count=params,
                cyclomatic=cyclomatic_complexity(node.body),
                max_nesting=max_nesting(node.body),
                signature=_signature(node),
                docstring=ast.get_docstring(node) or "",
            )
        )


# A qualifier longer than this (a chain of calls over many lines) keeps its last characters only.
LONGEST_QUALIFIER = 100
MAX_REFERENCES = 200_000
_DOTTED_TEXT = re.compile(r"[\w\s.\\]+")
_NOT_IN_NAMES = re.compile(r"[\s\\]")


def qualifier_text(written: str) -> str:
    """A qualifier as both Python readers record it: a dotted name without the
    spaces and line continuations in it, any other expression on one line (its
    last characters alone when it is long)."""
    if written.isidentifier():
        return written
    # `[*ts.f()]` reaches f through ts: the grammar takes the star for part of the receiver.
    written = written.lstrip("*")
    if _DOTTED_TEXT.fullmatch(written):
        return _NOT_IN_NAMES.sub("", written)
    written = " ".join(written.split())
    if len(written) > LONGEST_QUALIFIER:
        written = "\u2026" + written[-LONGEST_QUALIFIER:]
    return written


def identifier(written: str) -> str:
    """A name as the interpreter knows it: `ｗｗｗ` is www (NFKC, as the `ast` has it)."""
    return written if written.isascii() else unicodedata.normalize("NFKC", written)


def _dotted_name(node: ast.expr) -> str | None:
    """`a.b.c` for a chain of attributes over a name, else None."""
    parts: list[str] = []
    while isinstance(node, ast.Attribute):
        parts.append(node.attr)
        node = node.value
    if not isinstance(node, ast.Name):
        return None
    parts.append(node.id)
    return ".".join(reversed(parts))


# A use: ((line, byte column), name, kind, qualifier).
_Use = tuple[tuple[int, int], str, str, str]


class _References:
    """The references of one module, from its `ast` and its text."""

    def __init__(self, source: bytes) -> None:
        try:
            text = importlib.util.decode_source(source)
        except (UnicodeDecodeError, SyntaxError, LookupError):
            text = source.decode("utf-8", "replace")
        self.lines = text.split("\n")
        self.uses: list[_Use] = []
        # How many arguments each call passes, by the place of its name.
        self.arities: dict[tuple[int, int], int] = {}

    def _attribute_start(self, node: ast.Attribute) -> tuple[int, int]:
        """Where the name after the dot starts: it ends the attribute."""
        assert node.end_lineno is not None and node.end_col_offset is not None
        return node.end_lineno, node.end_col_offset - len(node.attr.encode("utf-8"))

    def _written(self, start: tuple[int, int], end: tuple[int, int]) -> str:
        (first, start_column), (last, end_column) = start, end
        chunks = [line.encode("utf-8") for line in self.lines[first - 1 : last]]
        if not chunks:
            return ""
        if len(chunks) == 1:
            return chunks[0][start_column:end_column].decode("utf-8", "replace")
        chunks[0] = chunks[0][start_column:]
        chunks[-1] = chunks[-1][:end_column]
        return b"\n".join(chunks).decode("utf-8", "replace")

    def _receiver(self, node: ast.Attribute) -> str:
        """What precedes the dot, as written: `(num)` in `(num).bit_length()`."""
        if isinstance(node.value, ast.Name) and node.value.col_offset == node.col_offset:
            return node.value.id
        written = self._written((node.lineno, node.col_offset), self._attribute_start(node))
        written = written.rstrip(" \t\n\\").removesuffix(".").rstrip(" \t\n\\")
        return qualifier_text(written)

    def call(self, node: ast.Call) -> None:
        function = node.func
        arity = len(node.args) + len(node.keywords)
        if isinstance(function, ast.Name):
            place = (function.lineno, function.col_offset)
            self.uses.append((place, function.id, "call", ""))
            self.arities[place] = arity
        elif isinstance(function, ast.Attribute):
            place = self._attribute_start(function)
            self.uses.append((place, function.attr, "call", self._receiver(function)))
            self.arities[place] = arity

    def decorators(self, decorators: list[ast.expr]) -> None:
        """A decorator calls what it names: `@cache` and `@functools.cache` as `cache(f)` would
        (one written as a call, `@lru_cache(1)`, is a call already)."""
        for decorator in decorators:
            if isinstance(decorator, ast.Name):
                self.uses.append(((decorator.lineno, decorator.col_offset), decorator.id, "call", ""))
            elif isinstance(decorator, ast.Attribute):
                self.uses.append((self._attribute_start(decorator), decorator.attr, "call", self._receiver(decorator)))

    def annotation(self, node: ast.expr) -> None:
        """The names and dotted names an annotation or a base class is made of."""
        pending = [node]
        while pending:
            part = pending.pop()
            if isinstance(part, ast.Name):
                self.uses.append(((part.lineno, part.col_offset), part.id, "type", ""))
            elif isinstance(part, ast.Attribute):
                owner = _dotted_name(part.value)
                if owner is not None:
                    self.uses.append((self._attribute_start(part), part.attr, "type", owner))
            elif isinstance(part, ast.Subscript):
                pending += [part.value, part.slice]
            elif isinstance(part, (ast.Tuple, ast.List)):
                pending.extend(part.elts)
            elif isinstance(part, ast.BinOp):
                pending += [part.left, part.right]
            elif isinstance(part, ast.Starred):
                pending.append(part.value)

    def imported(self, node: ast.Import | ast.ImportFrom) -> None:
        if isinstance(node, ast.Import):
            for alias in node.names:
                qualifier, _, name = alias.name.rpartition(".")
                self.uses.append(((alias.lineno, alias.col_offset), name, "import", qualifier))
            return
        module = "." * node.level + (node.module or "")
        for alias in node.names:
            self.uses.append(((alias.lineno, alias.col_offset), alias.name, "import", module))

    def walk(self, tree: ast.Module) -> None:
        for node in ast.walk(tree):
            if isinstance(node, ast.Call):
                self.call(node)
            elif isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
                arguments = node.args
                for argument in [*arguments.posonlyargs, *arguments.args, *arguments.kwonlyargs]:
                    if argument.annotation is not None:
                        self.annotation(argument.annotation)
                for starred in (arguments.vararg, arguments.kwarg):
                    if starred is not None and starred.annotation is not None:
                        self.annotation(starred.annotation)
                if node.returns is not None:
                    self.annotation(node.returns)
            elif isinstance(node, ast.ClassDef):
                for base in node.bases:
                    self.annotation(base)
            if isinstance(node, _DEFINITIONS):
                self.decorators(node.decorator_list)
            elif isinstance(node, ast.AnnAssign):
                self.annotation(node.annotation)
            elif isinstance(node, (ast.Import, ast.ImportFrom)):
                self.imported(node)

    def references(self, symbols: list[Symbol]) -> list[Reference]:
        """The uses in file order, each in the innermost symbol whose lines hold it."""
        starts = [symbol.start_line for symbol in symbols]
        ends = [symbol.end_line for symbol in symbols]
        enclosing: list[int] = []
        open_symbols: list[int] = []
        for index, symbol in enumerate(symbols):
            del open_symbols[symbol.depth :]
            enclosing.append(open_symbols[-1] if open_symbols else -1)
            open_symbols.append(index)
        references: list[Reference] = []
        for place, name, kind, qualifier in sorted(self.uses)[:MAX_REFERENCES]:
            line = place[0]
            at = bisect_right(starts, line) - 1
            while at >= 0 and line > ends[at]:
                at = enclosing[at]
            arity = self.arities.get(place, -1) if kind == "call" else -1
            references.append(Reference(name, line, kind, qualifier, at, arity))
        return references


def read(path: str, source: bytes) -> FileExtract:
    """Symbols and imports of one Python file.

    `ast` reads the bytes itself, so a coding cookie is honoured and line
    numbers match the lines a reader sees.
    """
    try:
        with warnings.catch_warnings():
            # Invalid escapes and the like in the file being read are its
            # author's business, not lines for the user's terminal.
            warnings.simplefilter("ignore")
            tree = ast.parse(source, filename=path)
    except SyntaxError as error:
        if "codec can't decode" in str(error.msg):
            raise SkipFile("not valid UTF-8 text") from None
        raise SkipFile(f"not valid Python: {error.msg} (line {error.lineno})") from None
    except ValueError:  # null bytes, or a coding cookie naming an unknown codec
        raise SkipFile("not valid Python") from None
    except (RecursionError, MemoryError):
        # The parser gives up on expressions nested thousands deep with a
        # MemoryError of its own, long before memory runs out.
        raise SkipFile("nested too deeply to parse") from None
    reader = _ModuleReader()
    references = _References(source)
    try:
        reader.read(tree.body, (), False)
        references.walk(tree)
    except RecursionError:
        raise SkipFile("nested too deeply to parse") from None
    return unaliased(FileExtract(reader.symbols, reader.imports, references.references(reader.symbols)))


def renamed(new_names: list[str | None]) -> list[str]:
    """The new names of an import's entry: each imported name's `as` name ("" for
    one it keeps), or none at all when the statement renames nothing."""
    return [name or "" for name in new_names] if any(new_names) else []


def unaliased(extract: FileExtract) -> FileExtract:
    """The file's uses of the names its imports bind under a new name, recorded
    as uses of what they import: with `from m import a as b`, `b()` is a use
    of a through m and `b.f()` one of f through m.a; with `import a.b as c`,
    `c.f()` is a use of f through a.b. A name the file defines at its top
    level is its own, whatever an import called it."""
    names: dict[str, tuple[str, str]] = {}  # new name -> (module, name)
    modules: dict[str, str] = {}  # new name -> the module path it stands for
    for entry in extract.imports:
        statement = _statement(entry)
        if statement is None:
            continue
        module, imported, level, new_names = statement
        if imported:
            for name, new in zip(imported, new_names):
                if new and new != name:
                    names[new] = ("." * level + module, name)
        elif new_names and new_names[0] and new_names[0] != module:
            modules[new_names[0]] = module
    own = {symbol.name for symbol in extract.symbols if symbol.depth == 0}
    for name in own:
        names.pop(name, None)
        modules.pop(name, None)
    if not names and not modules:
        return extract
    # What each new name stands for as a qualifier: `from . import a as b` makes `b.f` .a.f.
    paths = {new: module + name if module.endswith(".") else f"{module}.{name}" for new, (module, name) in names.items()}
    paths.update(modules)

    def seen_through(reference: Reference) -> Reference:
        if reference.kind == "import":
            return reference
        if not reference.qualifier and reference.name in names:
            module, name = names[reference.name]
            return dataclasses.replace(reference, name=name, qualifier=module)
        first, dot, rest = reference.qualifier.partition(".")
        if first in paths:
            return dataclasses.replace(reference, qualifier=paths[first] + dot + rest)
        return reference

    extract.references = [seen_through(reference) for reference in extract.references]
    return extract


# Import resolution. Module names are worked out the way the interpreter
# would see them: a file belongs to the package of every enclosing folder
# that has an `__init__.py`, also above the tree's root, so that the standard
# library's `json` folder yields `json.decoder` and its absolute imports
# resolve. Imports of modules outside the tree are dropped.


def package_prefix_above(root: Path) -> list[str]:
    """The packages that enclose the tree's root itself, outermost first."""
    parts: list[str] = []
    folder = root
    while (folder / "__init__.py").is_file() and folder.parent != folder:
        parts.insert(0, folder.name)
        folder = folder.parent
    return parts


def module_name(path: str, paths: frozenset[str], above: list[str]) -> tuple[str, bool]:
    """(dotted module name of `path`, whether it is a package's `__init__`)."""
    pure = PurePosixPath(path)
    is_package = pure.stem == "__init__"
    parts = [] if is_package else [pure.stem]
    folders = list(pure.parents)[:-1]  # enclosing folders inside the tree, innermost first
    for folder in folders:
        if f"{folder}/__init__.py" not in paths:
            return ".".join(parts), is_package
        parts.insert(0, folder.name)
    return ".".join(above + parts), is_package


def _statement(entry: object) -> tuple[str, list[str], int, list[str]] | None:
    """An import as `read` records it: [module, names, level, new names]; None when malformed."""
    if not isinstance(entry, list) or len(entry) != 4:
        return None
    module, names, level, new_names = entry
    if not (isinstance(module, str) and isinstance(names, list) and isinstance(level, int)):
        return None
    if not isinstance(new_names, list):
        return None
    strings = [name for name in names if isinstance(name, str)]
    return module, strings, level, [name if isinstance(name, str) else "" for name in new_names]


def _candidates(importer: str, is_package: bool, module: str, names: list[str], level: int) -> list[list[str]]:
    """Module names that an import may bind, most specific first, as lists of parts.

    `from a import b` may import the submodule a.b or the name b of module a;
    `import a.b.c` also loads a.b and a, so a shorter prefix stands in when
    the full name is not in the tree.
    """
    if level:
        package = importer.split(".") if is_package else importer.split(".")[:-1]
        up = level - 1
        if up > len(package):
            return []
        base = package[: len(package) - up]
    else:
        base = []
    target = base + (module.split(".") if module else [])
    if names:
        return [target + [name] for name in names if name != "*"] + [target]
    return [target[:length] for length in range(len(target), 0, -1)]


def resolve(root: Path, files: Mapping[str, list[object]], paths: frozenset[str]) -> list[tuple[str, str]]:
    """Directed edges (importing file, imported file) between Python files of the tree.

    `files` maps each Python file to its imports; `paths` holds every file of
    the tree, which tells which folders are packages.
    """
    above = package_prefix_above(root)
    names = {path: module_name(path, paths, above) for path in files}
    file_of_module: dict[str, str] = {}
    for path in sorted(names):
        # Two files with one module name (scripts in separate folders): the
        # first in path order stands for both, as the path order is stable.
        file_of_module.setdefault(names[path][0], path)
    edges = []
    for path in sorted(files):
        importer, is_package = names[path]
        for entry in files[path]:
            statement = _statement(entry)
            if statement is None:
                continue
            for parts in _candidates(importer, is_package, *statement[:3]):
                target = file_of_module.get(".".join(parts))
                if target is not None and target != path:
                    edges.append((path, target))
                    if not statement[1]:
                        break
    return edges
