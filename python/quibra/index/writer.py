"""Every write of a refresh: the files, their symbols and references, the
import graph and what each reference resolves to.

All of it runs inside the refresh's one transaction (`Storage.write`), so
a refresh killed at any moment leaves the previous index or the new one.
The writer records in the `RefreshReport` what it added, changed and
dropped, and whether the import graph has to be resolved again; and which
references have to be resolved again: those of the files it wrote, and
those that use a name some file it wrote or dropped defined or defines.
"""

from __future__ import annotations

import collections
import json
import os
import sqlite3
import time
from collections.abc import Iterable
from dataclasses import dataclass, field
from pathlib import Path

import _quibra_core as engine

from quibra.index import queries
from quibra.index.changes import CONFIG, Listed, Read
from quibra.index.extract import Extracted
from quibra.index.queries import StoredFile
from quibra.index.resolve import (
    Definition,
    FileView,
    Resolver,
    ScopeSymbol,
    Unresolved,
    family_of,
    imported_files,
)
from quibra.index.storage import Storage, encode_path
from quibra.tree.languages import java, resolve_edges
from quibra.tree.languages.model import REFERENCE_KINDS, Reference
from quibra.tree.languages.python import package_prefix_above
from quibra.tree.walk import path_role


@dataclass
class RefreshReport:
    added: list[str] = field(default_factory=list)
    changed: list[str] = field(default_factory=list)
    removed: list[str] = field(default_factory=list)
    # Files whose stat moved but whose content did not.
    touched: int = 0
    edges_resolved: bool = False
    pagerank_computed: bool = False
    importance_computed: bool = False  # the symbol graph's PageRank
    references_resolved: int = 0  # how many references were resolved again
    seconds: float = 0.0

    @property
    def changed_anything(self) -> bool:
        return bool(self.added or self.changed or self.removed)


def use_pairs(uses: Iterable[tuple[int, int | None, int]]) -> set[tuple[int, int]]:
    """(source, definition) of each resolved use: the symbol it lies in, or
    its file's top level as minus the file's id."""
    return {(scope if scope is not None else -file_id, target) for file_id, scope, target in uses}


def _changed_names(dropped: list[queries.FileDefinition], result: Extracted) -> set[str]:
    """The names whose definitions in one file differ between what it held
    (`dropped`, in line order) and what it holds now: one added, removed,
    renamed, changed in kind, signature, parameters or body, or moved past
    another of its name."""

    def by_name(entries: Iterable[tuple[str, tuple[object, ...]]]) -> dict[str, list[tuple[object, ...]]]:
        found: dict[str, list[tuple[object, ...]]] = collections.defaultdict(list)
        for name, rest in entries:
            found[name].append(rest)
        return found

    before = by_name(
        (old.name, (old.key, old.qualname, old.kind, old.signature, old.param_count, bool(old.declaration)))
        for old in dropped
    )
    now = sorted(result.symbols, key=lambda indexed: indexed.symbol.line)
    after = by_name(
        (
            item.symbol.name,
            (item.key, item.symbol.qualname, item.symbol.kind, item.symbol.signature, item.symbol.param_count,
             item.symbol.declaration),
        )
        for item in now
    )
    return {name for name in before.keys() | after.keys() if before.get(name) != after.get(name)}


class Writer:
    """Applies what the pass over the files found, inside the refresh's transaction."""

    def __init__(self, storage: Storage, stored: dict[str, StoredFile], report: RefreshReport):
        self.connection = storage.connection
        self.stored = stored
        self.report = report
        self.imports_changed = False
        # Whether the graph's nodes (the source files that parse) changed.
        self.nodes_changed = False
        # What the references' resolution must redo: the files whose
        # references were written, and the names defined by files dropped or written.
        self.reference_files: set[int] = set()
        self._changed_names: set[str] = set()
        # The symbols of each file dropped in this pass, until it is written again.
        self._dropped: dict[int, list[queries.FileDefinition]] = {}
        # Whether a symbol came or went (one read again unchanged keeps its
        # id), and what the dropped references were resolved to, as
        # (source, definition) with a file's own top level as minus its id:
        # together they tell whether the symbol graph moved.
        self.symbols_moved = False
        self.dropped_uses: set[tuple[int, int]] = set()
        self._name_ids: dict[str, int] = {}

    @property
    def graph_moved(self) -> bool:
        """Whether the symbol graph's nodes may have changed: a file or a symbol came or went."""
        return self.nodes_changed or self.symbols_moved or bool(self._dropped)

    @property
    def reference_names(self) -> set[str]:
        """The names whose definitions changed: what a reference to them resolves to may have too."""
        dropped = {symbol.name for symbols in self._dropped.values() for symbol in symbols}
        return self._changed_names | dropped

    def touch(self, read: Read) -> None:
        """Same content under a new stat."""
        entry = read.entry
        self.connection.execute(
            "UPDATE files SET size = ?, mtime_ns = ?, ctime_ns = ?, seen_ns = ? WHERE id = ?",
            (entry.size, entry.mtime_ns, entry.ctime_ns, read.seen_ns, self.stored[entry.path].id),
        )
        self.report.touched += 1

    def _drop_symbols(self, file_id: int) -> None:
        connection = self.connection
        self._dropped[file_id] = queries.file_definitions(connection, file_id)
        self.dropped_uses.update(use_pairs(queries.uses_of_files(connection, [file_id])))
        connection.execute("DELETE FROM ref_targets WHERE file_id = ?", (file_id,))
        connection.execute("DELETE FROM refs WHERE file_id = ?", (file_id,))
        for table in ("lexical", "code"):
            connection.execute(
                f"DELETE FROM {table} WHERE rowid IN (SELECT id FROM symbols WHERE file_id = ?)", (file_id,)
            )
        connection.execute(
            "DELETE FROM name_terms WHERE symbol_id IN (SELECT id FROM symbols WHERE file_id = ?)", (file_id,)
        )
        connection.execute("DELETE FROM symbols WHERE file_id = ?", (file_id,))

    def _file_row(
        self, entry: Listed, seen_ns: int, digest: str, skipped: str | None, imports: str, replaced: bool = False
    ) -> int:
        """Insert or update the file's row; its id."""
        connection = self.connection
        previous = self.stored.get(entry.path)
        values = (
            entry.language, entry.size, entry.mtime_ns, entry.ctime_ns, seen_ns, digest, skipped, imports, replaced
        )
        if previous is None:
            self.report.added.append(entry.path)
            cursor = connection.execute(
                "INSERT INTO files (path, language, size, mtime_ns, ctime_ns, seen_ns, hash, skipped, imports,"
                " replaced, role) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                (encode_path(entry.path), *values, path_role(entry.path)),
            )
            self.imports_changed = True
            self.nodes_changed = True
            assert cursor.lastrowid is not None
            return cursor.lastrowid
        self.report.changed.append(entry.path)
        old_imports = connection.execute("SELECT imports FROM files WHERE id = ?", (previous.id,)).fetchone()[0]
        if old_imports != imports or previous.language is CONFIG:
            self.imports_changed = True
        if (previous.skipped is None) != (skipped is None) or previous.language != entry.language:
            self.imports_changed = True
            self.nodes_changed = True
        self._drop_symbols(previous.id)
        connection.execute(
            "UPDATE files SET language = ?, size = ?, mtime_ns = ?, ctime_ns = ?, seen_ns = ?, hash = ?,"
            " skipped = ?, imports = ?, replaced = ? WHERE id = ?",
            (*values, previous.id),
        )
        return previous.id

    def unread(self, entry: Listed, seen_ns: int, reason: str) -> None:
        """A file that is listed but not read (a link, a file over the size limit): kept with the reason."""
        previous = self.stored.get(entry.path)
        if previous is not None and previous.skipped == reason and previous.hash == "":
            # Only its stat moved: recorded, so that the next refresh finds nothing to do.
            self.connection.execute(
                "UPDATE files SET size = ?, mtime_ns = ?, ctime_ns = ?, seen_ns = ? WHERE id = ?",
                (entry.size, entry.mtime_ns, entry.ctime_ns, seen_ns, previous.id),
            )
            return
        self._file_row(entry, seen_ns, "", reason, "[]")

    def config(self, read: Read, digest: str) -> None:
        self._file_row(read.entry, read.seen_ns, digest, None, "[]")
        self.imports_changed = True

    def extracted(self, read: Read, digest: str, result: Extracted) -> None:
        imports = json.dumps(result.imports, separators=(",", ":"))
        file_id = self._file_row(read.entry, read.seen_ns, digest, result.skipped, imports, result.replaced)
        connection = self.connection
        # A definition read again unchanged keeps its id, so the references
        # of other files that resolve to it stay right and need no second
        # look; only the names whose definitions changed are resolved again.
        dropped = self._dropped.pop(file_id, [])
        kept = {old.key: old for old in dropped}
        reused: list[int | None] = []
        # A definition that keeps its id keeps its importance too: when the
        # symbol graph comes out the same, it is not ranked again.
        importance: list[float] = []
        for indexed in result.symbols:
            old = kept.get(indexed.key)
            symbol = indexed.symbol
            same = old is not None and (old.name, old.qualname, old.kind, old.signature) == (
                symbol.name, symbol.qualname, symbol.kind, symbol.signature
            )
            reused.append(old.id if same and old is not None else None)
            importance.append(old.importance if same and old is not None else 0.0)
        if None in reused or len(dropped) != len(reused):
            self.symbols_moved = True
        self._changed_names |= _changed_names(dropped, result)
        # Kept ids first: a new symbol takes the largest id plus one, which
        # may be one that is still to be given back.
        order = sorted(range(len(reused)), key=lambda position: reused[position] is None)
        symbol_ids = [0] * len(reused)
        for position in order:
            indexed = result.symbols[position]
            symbol = indexed.symbol
            cursor = connection.execute(
                "INSERT INTO symbols (id, file_id, key, name, qualname, kind, line, start_line, end_line, depth,"
                " param_count, cyclomatic, max_nesting, signature, docstring, context_end, chars, name_key,"
                " name_terms, declaration, importance)"
                " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                (
                    reused[position],
                    file_id,
                    indexed.key,
                    symbol.name,
                    symbol.qualname,
                    symbol.kind,
                    symbol.line,
                    symbol.start_line,
                    symbol.end_line,
                    symbol.depth,
                    symbol.param_count,
                    symbol.cyclomatic,
                    symbol.max_nesting,
                    symbol.signature,
                    symbol.docstring,
                    indexed.context_end,
                    indexed.chars,
                    indexed.name_key,
                    " ".join(indexed.name_terms),
                    symbol.declaration,
                    importance[position],
                ),
            )
            symbol_id = cursor.lastrowid
            assert symbol_id is not None
            symbol_ids[position] = symbol_id
            name, signature, doc, body, path = indexed.fields
            connection.execute(
                "INSERT INTO lexical (rowid, name, signature, doc, path) VALUES (?, ?, ?, ?, ?)",
                (symbol_id, name, signature, doc, path),
            )
            connection.execute("INSERT INTO code (rowid, body) VALUES (?, ?)", (symbol_id, body))
            connection.executemany(
                "INSERT OR IGNORE INTO name_terms (term, symbol_id) VALUES (?, ?)",
                [(term, symbol_id) for term in indexed.name_terms],
            )
        self.reference_files.add(file_id)
        if result.references:
            self._references(file_id, result.references, symbol_ids)

    def _interned(self, texts: set[str]) -> None:
        """Give every one of `texts` an id in ref_names (kept in `_name_ids`)."""
        missing = sorted(text for text in texts if text not in self._name_ids)
        if not missing:
            return
        self._name_ids.update(queries.ref_name_ids(self.connection, missing))
        for text in missing:
            if text not in self._name_ids:
                cursor = self.connection.execute("INSERT INTO ref_names (text) VALUES (?)", (text,))
                assert cursor.lastrowid is not None
                self._name_ids[text] = cursor.lastrowid

    def _references(self, file_id: int, references: list[Reference], symbol_ids: list[int]) -> None:
        self._interned({text for reference in references for text in (reference.name, reference.qualifier) if text})
        names = self._name_ids
        other = REFERENCE_KINDS.index("other")
        self.connection.executemany(
            "INSERT INTO refs (file_id, seq, line, kind, name, qualifier, scope, arity) VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
            [
                (
                    file_id,
                    seq,
                    reference.line,
                    REFERENCE_KINDS.index(reference.kind) if reference.kind in REFERENCE_KINDS else other,
                    names[reference.name],
                    names[reference.qualifier] if reference.qualifier else None,
                    symbol_ids[reference.scope] if 0 <= reference.scope < len(symbol_ids) else None,
                    reference.arity,
                )
                for seq, reference in enumerate(references)
                if reference.name
            ],
        )

    def removed(self, path: str) -> None:
        previous = self.stored[path]
        self._drop_symbols(previous.id)
        self.connection.execute("DELETE FROM edges WHERE source = ? OR target = ?", (previous.id, previous.id))
        self.connection.execute("DELETE FROM files WHERE id = ?", (previous.id,))
        self.report.removed.append(path)
        self.imports_changed = True
        self.nodes_changed = True

    def record(self, root: Path, outside: str, limit: int) -> None:
        """What the next refresh compares against: the tree's root, what its
        import edges depend on outside it, and the file size limit."""
        self.connection.executemany(
            "INSERT OR REPLACE INTO meta (key, value) VALUES (?, ?)",
            [
                ("root", str(root)),
                ("outside", outside),
                ("max_file_size", str(limit)),
                # When the index last took in a change of the tree.
                ("updated_ns", str(time.time_ns())),
            ],
        )


def engine_key(path: str) -> str:
    """The path as the engine takes it: UTF-8 text. A name that is not valid
    UTF-8 is escaped behind a NUL, which no real file name contains, so it
    can never meet another file's key."""
    try:
        path.encode("utf-8")
    except UnicodeEncodeError:
        return "\0" + path.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
    return path


def update_graph(storage: Storage, root: Path, nodes_changed: bool, report: RefreshReport) -> set[int]:
    """Resolve the import edges again; recompute PageRank when they or the nodes
    changed. The files whose own edges changed, and those that import one of them, by id."""
    connection = storage.connection
    rows = connection.execute(
        "SELECT id, path, language, imports FROM files WHERE language IS NOT NULL AND skipped IS NULL"
    ).fetchall()
    ids = {}
    imports: dict[str, dict[str, list[object]]] = collections.defaultdict(dict)
    for file_id, raw_path, language, raw_imports in rows:
        path = os.fsdecode(raw_path)
        ids[path] = file_id
        try:
            parsed = json.loads(raw_imports)
        except ValueError:
            parsed = []
        imports[language][path] = parsed if isinstance(parsed, list) else []
    all_paths = frozenset(
        os.fsdecode(raw) for (raw,) in connection.execute("SELECT path FROM files WHERE hash != ''")
    )
    edges = sorted({(ids[source], ids[target]) for source, target in resolve_edges(root, imports, all_paths)
                    if source in ids and target in ids})
    report.edges_resolved = True
    stored_edges = connection.execute("SELECT source, target FROM edges ORDER BY source, target").fetchall()
    moved: set[int] = set()
    if edges != [tuple(edge) for edge in stored_edges]:
        moved = {source for source, _ in set(edges).symmetric_difference(tuple(edge) for edge in stored_edges)}
        # A reference may mean what an imported file imports in turn: the
        # files that import one whose edges moved are resolved again too.
        moved |= {source for source, target in edges if target in moved}
        connection.execute("DELETE FROM edges")
        connection.executemany("INSERT INTO edges (source, target) VALUES (?, ?)", edges)
    elif not nodes_changed:
        return moved
    paths = {file_id: path for path, file_id in ids.items()}
    keys = {file_id: engine_key(path) for file_id, path in paths.items()}
    scores, _iterations = engine.compute_pagerank(
        sorted((keys[source], keys[target]) for source, target in edges), sorted(keys.values())
    )
    connection.execute("UPDATE files SET pagerank = 0.0")
    connection.executemany(
        "UPDATE files SET pagerank = ? WHERE id = ?",
        [(scores.get(key, 0.0), file_id) for file_id, key in keys.items()],
    )
    report.pagerank_computed = True
    return moved


# Files whose references are resolved at a time: what they hold stays in memory.
RESOLVE_BATCH_FILES = 512


def update_references(
    storage: Storage,
    root: Path,
    files: set[int],
    names: set[str],
    report: RefreshReport,
    dropped_uses: set[tuple[int, int]] | None = None,
) -> bool:
    """Resolve again every reference of `files` and every reference that uses one of `names`.

    Whether the uses moved: what these references resolve to now, as
    `use_pairs`, differs from what they resolved to before (the references
    dropped with their files' symbols before this call are `dropped_uses`).
    The other references did not move, so the symbol graph's edges are the
    same when these pairs are.
    """
    connection = storage.connection
    root_package = (package_prefix_above(root) or [""])[-1]
    parsed = queries.parsed_files(connection)
    paths = {file_id: os.fsdecode(raw) for file_id, raw, _language in parsed}
    families = {file_id: family_of(language) for file_id, _raw, language in parsed}
    ids_by_path = {path: file_id for file_id, path in paths.items()}
    edges: dict[int, list[int]] = collections.defaultdict(list)
    for source, target in queries.all_edges(connection):
        edges[source].append(target)
    known: dict[str, list[Definition]] = {}

    def fetch(wanted: Iterable[str]) -> None:
        missing = sorted({name for name in wanted if name not in known})
        for start in range(0, len(missing), 10_000):
            chunk = missing[start : start + 10_000]
            for name in chunk:
                known[name] = []
            for row in queries.definitions_named(connection, chunk):
                if row.file_id in paths:
                    known[row.name].append(
                        Definition(
                            *row[:8],
                            path=paths[row.file_id],
                            family=families[row.file_id],
                            param_count=row.param_count,
                            declaration=bool(row.declaration),
                        )
                    )

    def lookup(name: str) -> list[Definition]:
        if name not in known:
            fetch([name])
        return known[name]

    resolver = Resolver(lookup)
    whole = sorted(file_id for file_id in files if file_id in paths)
    by_name = [
        reference
        for reference in (queries.references_named(connection, sorted(names)) if names else [])
        if reference.file_id not in files
    ]
    pending: dict[int, list[queries.StoredReference]] = collections.defaultdict(list)
    for reference in by_name:
        pending[reference.file_id].append(reference)
    before = set(dropped_uses or ())
    scopes = {(reference.file_id, reference.seq): reference.scope for reference in by_name}
    old_targets = queries.targets_of(connection, list(scopes))
    before.update(use_pairs((file_id, scopes[file_id, seq], target) for file_id, seq, target in old_targets))
    before.update(use_pairs(queries.uses_of_files(connection, whole)))
    after: set[tuple[int, int]] = set()
    # The references of other files that use a changed name lose their targets first.
    connection.executemany(
        "DELETE FROM ref_targets WHERE file_id = ? AND seq = ?", [(ref.file_id, ref.seq) for ref in by_name]
    )
    connection.execute("DELETE FROM ref_targets WHERE file_id IN (SELECT value FROM json_each(?))", (json.dumps(whole),))
    order = whole + sorted(pending)
    for start in range(0, len(order), RESOLVE_BATCH_FILES):
        batch = order[start : start + RESOLVE_BATCH_FILES]
        references = queries.references_of_files(connection, [file_id for file_id in batch if file_id in files])
        references += [reference for file_id in batch for reference in pending.get(file_id, [])]
        fetch(reference.name for reference in references)
        views = _file_views(connection, batch, paths, families, edges, ids_by_path, root_package)
        targets: list[tuple[int, int, int, float]] = []
        others: list[tuple[int, int, int]] = []
        for reference in references:
            view = views.get(reference.file_id)
            if view is None:
                continue
            unresolved = Unresolved(
                reference.name, reference.qualifier, REFERENCE_KINDS[reference.kind], reference.scope, reference.arity
            )
            found, rest = resolver.resolve(view, unresolved)
            targets.extend((reference.file_id, reference.seq, symbol_id, weight) for symbol_id, weight in found)
            after.update(use_pairs((reference.file_id, reference.scope, symbol_id) for symbol_id, _ in found))
            if rest != reference.others:
                others.append((rest, reference.file_id, reference.seq))
        connection.executemany(
            "INSERT INTO ref_targets (file_id, seq, symbol_id, weight) VALUES (?, ?, ?, ?)", targets
        )
        connection.executemany("UPDATE refs SET others = ? WHERE file_id = ? AND seq = ?", others)
        report.references_resolved += len(references)
    return before != after


def _file_views(
    connection: sqlite3.Connection,
    file_ids: list[int],
    paths: dict[int, str],
    families: dict[int, str],
    edges: dict[int, list[int]],
    ids_by_path: dict[str, int],
    root_package: str,
) -> dict[int, FileView]:
    views = {
        file_id: FileView(
            file_id,
            paths[file_id],
            families[file_id],
            imported_files(
                edges[file_id], paths, ids_by_path, edges if families[file_id] == "ecmascript" else None
            ),
        )
        for file_id in file_ids
        if file_id in paths
    }
    for file_id, raw_imports in queries.imports_of_files(connection, list(views), "java"):
        try:
            parsed = json.loads(raw_imports)
        except ValueError:
            continue
        if isinstance(parsed, list):
            views[file_id].static_imports = frozenset(java.static_imports(parsed))
    for view in views.values():
        if view.family == "python":
            view.onward = {paths[target]: frozenset(edges[target]) for target in view.imported if target in paths}
            view.root_package = root_package
    for file_id, symbol_id, qualname, kind, signature in queries.scope_symbols(connection, list(views)):
        symbol = ScopeSymbol(symbol_id, qualname, kind, signature)
        views[file_id].symbols[symbol_id] = symbol
        views[file_id].by_qualname.setdefault(qualname, symbol)
    return views
