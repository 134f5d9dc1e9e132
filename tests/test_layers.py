"""The host's layers: reading trees, the index, ranking, the interfaces.

A layer may import the layers below it, never one above; every module of
the package belongs to one layer. Read from the source's own import
statements, those inside functions included, so a lazy import cannot hide
an upward one.
"""

from __future__ import annotations

import ast
import pathlib
import re

import pytest
import quibra
from quibra.index.storage import SCHEMA

PACKAGE = pathlib.Path(quibra.__file__).resolve().parent
LAYERS = ("tree", "index", "ranking", "interfaces")  # lowest first
# Modules outside the layers: the package's face, which only re-exports the API.
TOP = {"__init__", "__main__"}


def _layer_of(module: str) -> str | None:
    parts = module.split(".")
    if parts[0] != "quibra" or len(parts) < 2:
        return None
    return parts[1] if parts[1] in LAYERS else None


def _imports(path: pathlib.Path, module: str, modules: set[str]) -> list[str]:
    """Every module of the package that `path` imports, by its full name."""
    package = module if path.name == "__init__.py" else module.rpartition(".")[0]
    found = []
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.Import):
            found.extend(alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom):
            if node.level:
                base = package.split(".")
                base = base[: len(base) - (node.level - 1)]
                origin = ".".join([*base, *([node.module] if node.module else [])])
            else:
                origin = node.module or ""
            # `from quibra.x import y` names either module y of package x or a name of module x.
            named = [f"{origin}.{alias.name}" for alias in node.names if f"{origin}.{alias.name}" in modules]
            found.extend(named or [origin])
    return [name for name in found if name.startswith("quibra.") or name == "quibra"]


def _modules(root: pathlib.Path = PACKAGE) -> dict[str, pathlib.Path]:
    modules = {}
    for path in sorted(root.rglob("*.py")):
        relative = path.relative_to(root.parent).with_suffix("")
        parts = list(relative.parts)
        if parts[-1] == "__init__":
            parts.pop()
        modules[".".join(parts)] = path
    return modules


def upward_imports(root: pathlib.Path = PACKAGE) -> list[str]:
    """Each import of a module by a module of a lower layer, as "importer -> imported"."""
    wrong = []
    modules = _modules(root)
    for module, path in modules.items():
        layer = _layer_of(module)
        if layer is None:
            continue
        for imported in _imports(path, module, set(modules)):
            target = _layer_of(imported)
            if target is not None and LAYERS.index(target) > LAYERS.index(layer):
                wrong.append(f"{module} -> {imported}")
    return sorted(set(wrong))


def test_no_layer_imports_a_higher_one():
    assert upward_imports() == []


def test_every_module_belongs_to_a_layer():
    outside = [
        module for module in _modules() if _layer_of(module) is None and module.split(".")[-1] not in TOP
        and module != "quibra"
    ]
    assert outside == []


def _copy_of_package(tmp_path: pathlib.Path) -> pathlib.Path:
    copy = tmp_path / "quibra"
    for path in PACKAGE.rglob("*.py"):
        target = copy / path.relative_to(PACKAGE)
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text(path.read_text(encoding="utf-8"), encoding="utf-8")
    return copy


@pytest.mark.parametrize(
    "module, statement",
    [
        ("tree/walk.py", "from quibra.index.storage import content_digest"),
        ("index/refresh.py", "    from quibra.ranking.rank import block_tokens"),
        ("ranking/channels.py", "from ..interfaces import api"),
    ],
)
def test_an_upward_import_is_caught(tmp_path, module, statement):
    copy = _copy_of_package(tmp_path)
    victim = copy / module
    if statement.startswith("    "):
        victim.write_text(victim.read_text() + "\n\ndef _late():\n" + statement + "\n")
    else:
        victim.write_text(statement + "\n" + victim.read_text())
    assert len(upward_imports(copy)) == 1


# SQL belongs to the index: a statement names a table of the schema after
# one of its keywords, or reads a column as `table.column` beside one.
_TABLES = "|".join(re.findall(r"CREATE (?:VIRTUAL )?TABLE (\w+)", SCHEMA))
_NAMES_A_TABLE = re.compile(rf"\b(?:FROM|JOIN|INTO|UPDATE|TABLE)\s+(?:temp\.)?(?:{_TABLES})\b")
_KEYWORD = re.compile(r"\b(?:SELECT|INSERT|UPDATE|DELETE|FROM|JOIN|WHERE|MATCH|CREATE)\b")
_COLUMN = re.compile(rf"\b(?:{_TABLES})\.[a-z_]+\b")
_RUNS_SQL = {"execute", "executemany", "executescript"}


def sql_outside_index(root: pathlib.Path = PACKAGE) -> list[str]:
    """Each SQL statement (or piece of one) written, and each statement run,
    by a module outside `quibra.index`, as "module: text"."""
    found = []
    for module, path in _modules(root).items():
        if _layer_of(module) == "index":
            continue
        for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
            if isinstance(node, ast.Constant) and isinstance(node.value, str):
                text = node.value
                if _NAMES_A_TABLE.search(text) or (_KEYWORD.search(text) and _COLUMN.search(text)):
                    found.append(f"{module}: {text.strip()}")
            elif isinstance(node, ast.Attribute) and node.attr in _RUNS_SQL:
                found.append(f"{module}: .{node.attr}(...)")
    return sorted(found)


def test_only_the_index_holds_sql():
    assert _TABLES.count("|") >= 6  # the schema's tables were found
    assert sql_outside_index() == []


@pytest.mark.parametrize(
    "module, statement",
    [
        ("ranking/rank.py", '_LEFT = "SELECT id FROM symbols WHERE kind = ?"'),
        ("interfaces/api.py", '_SCOPE = " AND files.language IN (SELECT value FROM json_each(?))"'),
        ("tree/walk.py", '    connection.execute(f"PRAGMA {name}")'),
    ],
)
def test_sql_outside_the_index_is_caught(tmp_path, module, statement):
    copy = _copy_of_package(tmp_path)
    assert sql_outside_index(copy) == []
    victim = copy / module
    if statement.startswith("    "):
        victim.write_text(victim.read_text() + "\n\ndef _late(connection, name):\n" + statement + "\n")
    else:
        victim.write_text(statement + "\n" + victim.read_text())
    assert len(sql_outside_index(copy)) == 1
