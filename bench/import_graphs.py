"""Import graphs for the PageRank benchmark and tests, as (edges, files).

Edges are lists of (importer path, imported path) tuples, grouped by importer
as a host collects them file by file.
"""

from __future__ import annotations

import ast
import functools
import pathlib
import random
import sysconfig

_SKIPPED_DIRS = {"site-packages", "test", "tests", "idle_test"}


def synthetic_graph(n_files: int, n_edges: int, seed: int = 0):
    """`n_files` path-like files in a package tree and `n_edges` imports.

    Targets are skewed toward a few popular modules; about one edge in a
    hundred leads outside the files, and there are occasional self-loops
    and repeated imports, as in real import lists.
    """
    rng = random.Random(seed)
    files = [
        f"src/pkg_{i % 61:02d}/sub_{(i // 61) % 17:02d}/module_{i:06d}.py" for i in range(n_files)
    ]
    edges = []
    for i in range(n_edges):
        source = files[i * n_files // n_edges]
        roll = rng.random()
        if roll < 0.01:
            edges.append((source, f"external/lib_{rng.randrange(1000)}.py"))
        elif roll < 0.012:
            edges.append((source, source))
        elif roll < 0.02 and edges:
            edges.append(edges[-1])
        else:
            edges.append((source, files[int(n_files * rng.random() ** 2)]))
    return edges, files


def _module_files(root: pathlib.Path) -> dict[str, str]:
    modules = {}
    for path in sorted(root.rglob("*.py")):
        relative = path.relative_to(root)
        if _SKIPPED_DIRS.intersection(relative.parts):
            continue
        parts = list(relative.with_suffix("").parts)
        if parts[-1] == "__init__":
            parts.pop()
        if parts:
            modules[".".join(parts)] = relative.as_posix()
    return modules


def _imported_modules(tree: ast.AST, module: str, is_package: bool):
    package = module if is_package else module.rpartition(".")[0]
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            for alias in node.names:
                yield alias.name
        elif isinstance(node, ast.ImportFrom):
            if node.level:
                base = package
                for _ in range(node.level - 1):
                    base = base.rpartition(".")[0]
                base = f"{base}.{node.module}" if node.module else base
            else:
                base = node.module or ""
            yield base
            # `from package import name` may name a submodule.
            for alias in node.names:
                yield f"{base}.{alias.name}"


@functools.lru_cache(maxsize=None)
def stdlib_graph():
    """The import graph of this interpreter's standard library (tests left out).

    Files are paths relative to the library root. An import that names no
    library file (a built-in or C module, a name imported from a module)
    keeps the module name as its target, which is not among the files.
    """
    root = pathlib.Path(sysconfig.get_paths()["stdlib"])
    modules = _module_files(root)
    edges = []
    for module, path in modules.items():
        try:
            tree = ast.parse((root / path).read_bytes())
        except (SyntaxError, ValueError):
            continue
        for imported in _imported_modules(tree, module, path.endswith("__init__.py")):
            target = modules.get(imported)
            if target is not None:
                edges.append((path, target))
            elif "." not in imported:
                edges.append((path, imported))
    return edges, list(modules.values())
