"""References of Python files read with `ast`, for the tests of the index's
references while the Python reader records none of its own.

`install()` wraps the extraction that the index runs so that a Python file
whose reader gave no references gets these. Importing the module with
QUIBRA_TEST_AST_REFERENCES set installs it: a `sitecustomize` that imports
it carries the wrapping into the `quibra` commands a test starts.
"""

from __future__ import annotations

import ast
import os
from collections.abc import Callable

from quibra.tree.languages.model import FileExtract, Reference, Symbol


def _dotted(node: ast.expr) -> str | None:
    if isinstance(node, ast.Name):
        return node.id
    if isinstance(node, ast.Attribute):
        inner = _dotted(node.value)
        return None if inner is None else f"{inner}.{node.attr}"
    if isinstance(node, ast.Call) and isinstance(node.func, ast.Name) and node.func.id == "super":
        return "super()"
    return None


def _scope(symbols: list[Symbol], line: int) -> int:
    """The innermost symbol whose lines hold `line`, -1 for none."""
    best, depth = -1, -1
    for index, symbol in enumerate(symbols):
        if symbol.start_line <= line <= symbol.end_line and symbol.depth > depth:
            best, depth = index, symbol.depth
    return best


def references(source: bytes, symbols: list[Symbol]) -> list[Reference]:
    found: list[tuple[str, int, str, str]] = []
    tree = ast.parse(source)

    def types(annotation: ast.expr | None) -> None:
        if annotation is None:
            return
        for node in ast.walk(annotation):
            if isinstance(node, ast.Name):
                found.append((node.id, node.lineno, "type", ""))

    for node in ast.walk(tree):
        if isinstance(node, ast.Call):
            function = node.func
            if isinstance(function, ast.Name):
                found.append((function.id, node.lineno, "call", ""))
            elif isinstance(function, ast.Attribute):
                found.append((function.attr, node.lineno, "call", _dotted(function.value) or ""))
        elif isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            for argument in [*node.args.posonlyargs, *node.args.args, *node.args.kwonlyargs]:
                types(argument.annotation)
            types(node.returns)
        elif isinstance(node, ast.AnnAssign):
            types(node.annotation)
        elif isinstance(node, ast.ClassDef):
            for base in node.bases:
                if isinstance(base, ast.Name):
                    found.append((base.id, base.lineno, "type", ""))
        elif isinstance(node, ast.ImportFrom):
            module = "." * node.level + (node.module or "")
            for alias in node.names:
                found.append((alias.name, node.lineno, "import", module))
    found.sort(key=lambda item: (item[1], item[0], item[2], item[3]))
    return [Reference(name, line, kind, qualifier, _scope(symbols, line)) for name, line, kind, qualifier in found]


def wrapped(original: Callable[[str, str, bytes], FileExtract]) -> Callable[[str, str, bytes], FileExtract]:
    """`original` (the index's `read_source`), filling the references of a
    Python file whose reader gave none."""

    def read_source(language: str, path: str, source: bytes) -> FileExtract:
        result = original(language, path, source)
        if language == "python" and not result.references:
            try:
                result.references = references(source, result.symbols)
            except (SyntaxError, ValueError):
                pass
        return result

    return read_source


def install() -> None:
    from quibra.index import extract

    extract.read_source = wrapped(extract.read_source)


if os.environ.get("QUIBRA_TEST_AST_REFERENCES"):
    install()
