"""Every write of a refresh: the files, their symbols, the import graph.

All of it runs inside the refresh's one transaction (`Storage.write`), so
a refresh killed at any moment leaves the previous index or the new one.
The writer records in the `RefreshReport` what it added, changed and
dropped, and whether the import graph has to be resolved again.
"""

from __future__ import annotations

import collections
import json
import os
from dataclasses import dataclass, field
from pathlib import Path

import _quibra_core as engine

from quibra.index.changes import CONFIG, Listed, Read
from quibra.index.extract import Extracted
from quibra.index.queries import StoredFile
from quibra.index.storage import Storage, encode_path
from quibra.tree.languages import resolve_edges
from quibra.tree.walk import is_test_path


@dataclass
class RefreshReport:
    added: list[str] = field(default_factory=list)
    changed: list[str] = field(default_factory=list)
    removed: list[str] = field(default_factory=list)
    # Files whose stat moved but whose content did not.
    touched: int = 0
    edges_resolved: bool = False
    pagerank_computed: bool = False
    seconds: float = 0.0

    @property
    def changed_anything(self) -> bool:
        return bool(self.added or self.changed or self.removed)


class Writer:
    """Applies what the pass over the files found, inside the refresh's transaction."""

    def __init__(self, storage: Storage, stored: dict[str, StoredFile], report: RefreshReport):
        self.connection = storage.connection
        self.stored = stored
        self.report = report
        self.imports_changed = False
        # Whether the graph's nodes (the source files that parse) changed.
        self.nodes_changed = False

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
                " replaced, is_test) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                (encode_path(entry.path), *values, is_test_path(entry.path)),
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
        for indexed in result.symbols:
            symbol = indexed.symbol
            cursor = connection.execute(
                "INSERT INTO symbols (file_id, key, name, qualname, kind, line, start_line, end_line, depth,"
                " param_count, cyclomatic, max_nesting, signature, docstring, context_end, chars, name_key,"
                " name_terms) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                (
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
                ),
            )
            symbol_id = cursor.lastrowid
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
            [("root", str(root)), ("outside", outside), ("max_file_size", str(limit))],
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


def update_graph(storage: Storage, root: Path, nodes_changed: bool, report: RefreshReport) -> None:
    """Resolve the import edges again; recompute PageRank when they or the nodes changed."""
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
    if edges != [tuple(edge) for edge in stored_edges]:
        connection.execute("DELETE FROM edges")
        connection.executemany("INSERT INTO edges (source, target) VALUES (?, ?)", edges)
    elif not nodes_changed:
        return
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
