"""The import graph of a tree: which of its files import which.

Module names are worked out the way the interpreter would see them: a file
belongs to the package of every enclosing folder that has an `__init__.py`,
also above the tree's root, so that the standard library's `json` folder
yields `json.decoder` and its absolute imports resolve. Imports of modules
outside the tree are dropped; they have no node in the graph.
"""

from __future__ import annotations

from pathlib import Path

from quibra.symbols import ImportStatement, SourceFile


def module_name(root: Path, path: str) -> tuple[str, bool]:
    """(dotted module name, whether the file is a package's `__init__`)."""
    file = root / path
    is_package = file.stem == "__init__"
    parts = [] if is_package else [file.stem]
    folder = file.parent
    while (folder / "__init__.py").is_file() and folder.parent != folder:
        parts.insert(0, folder.name)
        folder = folder.parent
    return ".".join(parts), is_package


def _candidates(importer: str, is_package: bool, statement: ImportStatement) -> list[list[str]]:
    """Module names that `statement` may bind, most specific first, as lists of parts.

    `from a import b` may import the submodule a.b or the name b of module a;
    `import a.b.c` also loads a.b and a, so a shorter prefix stands in when
    the full name is not in the tree.
    """
    if statement.level:
        package = importer.split(".") if is_package else importer.split(".")[:-1]
        up = statement.level - 1
        if up > len(package):
            return []
        base = package[: len(package) - up]
    else:
        base = []
    target = base + (statement.module.split(".") if statement.module else [])
    if statement.names:
        return [target + [name] for name in statement.names if name != "*"] + [target]
    return [target[:length] for length in range(len(target), 0, -1)]


def import_edges(root: Path, sources: list[SourceFile]) -> list[tuple[str, str]]:
    """Directed edges (importing file, imported file) between files of the tree."""
    names = {source.path: module_name(root, source.path) for source in sources}
    file_of_module: dict[str, str] = {}
    for path in sorted(names):
        # Two files with one module name (scripts in separate folders): the
        # first in path order stands for both, as the path order is stable.
        file_of_module.setdefault(names[path][0], path)
    edges = []
    for source in sources:
        importer, is_package = names[source.path]
        for statement in source.imports:
            for parts in _candidates(importer, is_package, statement):
                target = file_of_module.get(".".join(parts))
                if target is not None and target != source.path:
                    edges.append((source.path, target))
                    if not statement.names:
                        break
    return edges
