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
import concurrent.futures
import concurrent.futures.process
import gc
import json
import marshal
import os
import sqlite3
import time
from array import array
from collections.abc import Callable, Iterable, Iterator, Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import NamedTuple, TypeVar

import _quibra_core as engine

from quibra.index import queries
from quibra.index.changes import CONFIG, Listed, Read
from quibra.index.extract import Extracted, head_terms, identity_key, path_terms
from quibra.index.importance import engine_key
from quibra.index.packed import (
    PackedReference,
    ReferenceFields,
    pack_references,
    resolved_pairs,
    unpack_references,
    unpack_terms,
    weight_units,
)
from quibra.index.queries import StoredFile
from quibra.index.report import RefreshReport
from quibra.index.resolve import (
    MAX_GENERATIONS,
    Definition,
    FileView,
    Resolver,
    ScopeSymbol,
    Unresolved,
    base_names,
    family_of,
    imported_files,
    is_barrel,
    owner_name,
)
from quibra.index.storage import KINDS, Storage, doc_key, encode_path
from quibra.index.workers import forked_executor, interrupts_held, stop_workers
from quibra.tree.languages import java, resolve_edges
from quibra.tree.languages.model import CONTAINER_KINDS, REFERENCE_KINDS
from quibra.tree.languages.python import package_prefix_above
from quibra.tree.walk import path_role

class PendingReferences(NamedTuple):
    """A file's references just read, not resolved yet. Packed, a tree's
    millions of them wait for their resolution in a few bytes each; made
    into `PackedReference`s only then (`pending_uses`), on the workers that
    resolve them where there are any."""

    total: int  # how many
    packed: bytes  # as the reader gave them (`Extracted.references`)
    # Held as 4-byte numbers, not lists of ints: a tree's files hold millions.
    names: array[int]  # the ref_names id of each of the file's reference texts
    symbols: array[int]  # the id of each of the file's symbols


def pending_uses(pending: PendingReferences) -> list[PackedReference]:
    """The references of `pending` by ids, as `unpack_references` gives those stored."""
    if not pending.total:
        return []
    names, symbols = pending.names, pending.symbols
    count = len(symbols)
    return [
        PackedReference(
            line, kind, names[name], names[qualifier - 1] if qualifier else 0,
            symbols[scope] if 0 <= scope < count else 0, arity, 0, (),
        )
        for line, kind, name, qualifier, scope, arity, _others, _targets in unpack_references(pending.packed)
    ]


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
        # What the classes of each file dropped in this pass derived from, by
        # (qualname, signature), until it is written again; and the names of
        # the classes that a class that came, went or changed its bases
        # derived from, before or after. A use reached through a subclass
        # (`self.close()`) means a member of one of those classes' lineage.
        self._old_classes: dict[int, dict[tuple[str, str], tuple[str, ...]]] = {}
        self._lineage_roots: set[str] = set()
        # Whether a symbol came or went (one read again unchanged keeps its
        # id), and what the dropped references were resolved to, as
        # (source, definition) with a file's own top level as minus its id:
        # together they tell whether the symbol graph moved.
        self.symbols_moved = False
        self.dropped_uses: set[tuple[int, int]] = set()
        self._name_ids: dict[str, int] = {}
        # The references of the files written, by ids, until they are resolved.
        self.pending_references: dict[int, PendingReferences] = {}

    @property
    def graph_moved(self) -> bool:
        """Whether the symbol graph's nodes may have changed: a file or a symbol came or went."""
        return self.nodes_changed or self.symbols_moved or bool(self._dropped)

    @property
    def reference_names(self) -> set[str]:
        """The names whose definitions changed: what a reference to them resolves to may have too."""
        dropped = {symbol.name for symbols in self._dropped.values() for symbol in symbols}
        return self._changed_names | dropped

    @property
    def lineage_roots(self) -> set[str]:
        """The classes a class that came, went or changed its bases derived
        from: the uses of their members' names may mean another definition now."""
        gone = {base for classes in self._old_classes.values() for bases in classes.values() for base in bases}
        return self._lineage_roots | gone

    def touch(self, read: Read) -> None:
        """Same content under a new stat."""
        entry = read.entry
        self.connection.execute(
            "UPDATE files SET size = ?, mtime_ns = ?, ctime_ns = ?, seen_ns = ? WHERE id = ?",
            (entry.size, entry.mtime_ns, entry.ctime_ns, read.seen_ns, self.stored[entry.path].id),
        )
        self.report.touched += 1

    def _drop_symbols(self, file_id: int, language: str | None) -> None:
        connection = self.connection
        dropped = self._dropped[file_id] = queries.file_definitions(connection, file_id)
        if self.stored and language is not None:
            self._old_classes[file_id] = _classes(
                ((old.qualname, old.kind, old.signature) for old in dropped), family_of(language)
            )
        self.dropped_uses |= drop_references(connection, file_id)
        stored = queries.file_terms(connection, file_id)
        if stored is not None:
            # The full-text tables keep no text: a row leaves them given its
            # tokens again, those of its qualified name, signature and path
            # made from what the index keeps of them.
            symbol_ids, blob = stored
            heads = {old.id: head_terms(old.qualname, old.signature) for old in dropped}
            path = path_terms(os.fsdecode(queries.file_path(connection, file_id)))
            texts = unpack_terms(blob)
            connection.executemany(
                "INSERT INTO lexical (lexical, rowid, name, signature, doc, path) VALUES ('delete', ?, ?, ?, ?, ?)",
                [(symbol_id, *heads[symbol_id], doc, path)
                 for symbol_id, (doc, _body) in zip(symbol_ids, texts, strict=True)],
            )
            connection.executemany(
                "INSERT INTO code (code, rowid, body) VALUES ('delete', ?, ?)",
                [(symbol_id, body) for symbol_id, (_doc, body) in zip(symbol_ids, texts, strict=True)],
            )
            connection.execute("DELETE FROM file_terms WHERE file_id = ?", (file_id,))
        connection.executemany(
            "INSERT INTO name_terms (name_terms, rowid, terms) VALUES ('delete', ?, ?)",
            queries.symbol_name_terms(connection, file_id),
        )
        connection.executemany(
            "INSERT INTO name_keys (name_keys, rowid, key) VALUES ('delete', ?, ?)",
            [(old.id, identity_key(old.name, old.kind, old.qualname)) for old in dropped],
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
        self._drop_symbols(previous.id, previous.language)
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
        if self.stored:
            # With nothing stored before, every reference is resolved anyway.
            self._changed_names |= _changed_names(dropped, result)
            old_classes = self._old_classes.pop(file_id, {})
            new_classes = _classes(
                ((item.symbol.qualname, item.symbol.kind, item.symbol.signature) for item in result.symbols),
                family_of(result.language),
            )
            for changed in old_classes.keys() ^ new_classes.keys():
                self._lineage_roots.update(old_classes.get(changed, ()), new_classes.get(changed, ()))
        # Kept ids first: a new symbol takes the largest id plus one, as
        # SQLite would give it, which may be one that is still to be given back.
        symbol_ids = [0] * len(reused)
        kept_positions = [position for position, old_id in enumerate(reused) if old_id is not None]
        new_positions = [position for position, old_id in enumerate(reused) if old_id is None]
        for position in kept_positions:
            symbol_ids[position] = reused[position] or 0
        self._insert_symbols(file_id, result, importance, [(symbol_ids[position], position) for position in kept_positions])
        if new_positions:
            next_id = queries.largest_symbol_id(connection) + 1
            for offset, position in enumerate(new_positions):
                symbol_ids[position] = next_id + offset
            self._insert_symbols(
                file_id, result, importance, [(symbol_ids[position], position) for position in new_positions]
            )
        if result.symbols:
            connection.execute(
                "INSERT INTO file_terms (file_id, symbols, terms) VALUES (?, ?, ?)",
                (file_id, json.dumps(symbol_ids), result.terms),
            )
        self.reference_files.add(file_id)
        if result.reference_count:
            self._references(file_id, result, symbol_ids)

    def _insert_symbols(
        self, file_id: int, result: Extracted, importance: list[float], placed: list[tuple[int, int]]
    ) -> None:
        """Write the symbols of `result` at `placed` (id, position in the file's
        symbols) with their `importance` (by position), their full-text rows
        and their name terms."""
        if not placed:
            return
        connection = self.connection
        symbols = result.symbols
        connection.executemany(
            "INSERT INTO symbols (id, file_id, own_key, name, outer_name, own_qualname, kind_code, own_kind, line,"
            " above, below, cut, depth, param_count, cyclomatic, max_nesting, signature, chars, name_terms, declaration,"
            " importance, doc_key) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
            [
                (
                    symbol_id,
                    file_id,
                    None if indexed.key == indexed.symbol.qualname else indexed.key,
                    indexed.symbol.name,
                    *_qualname_parts(indexed.symbol.name, indexed.symbol.qualname),
                    *_kind_parts(indexed.symbol.kind),
                    indexed.symbol.line,
                    indexed.symbol.line - indexed.symbol.start_line,
                    indexed.symbol.end_line - indexed.symbol.line,
                    indexed.symbol.end_line - indexed.context_end,
                    indexed.symbol.depth,
                    indexed.symbol.param_count,
                    indexed.symbol.cyclomatic,
                    indexed.symbol.max_nesting,
                    indexed.symbol.signature,
                    indexed.chars,
                    " ".join(indexed.name_terms),
                    indexed.symbol.declaration,
                    importance[position],
                    doc_key(indexed.symbol.docstring),
                )
                for symbol_id, position, indexed in ((symbol_id, position, symbols[position]) for symbol_id, position in placed)
            ],
        )
        connection.executemany(
            "INSERT INTO lexical (rowid, name, signature, doc, path) VALUES (?, ?, ?, ?, ?)",
            [(symbol_id, *symbols[position].fields[:3], symbols[position].fields[4]) for symbol_id, position in placed],
        )
        connection.executemany(
            "INSERT INTO code (rowid, body) VALUES (?, ?)",
            [(symbol_id, symbols[position].fields[3]) for symbol_id, position in placed],
        )
        connection.executemany(
            "INSERT INTO name_terms (rowid, terms) VALUES (?, ?)",
            [(symbol_id, " ".join(symbols[position].name_terms)) for symbol_id, position in placed],
        )
        connection.executemany(
            "INSERT INTO name_keys (rowid, key) VALUES (?, ?)",
            [(symbol_id, symbols[position].name_key) for symbol_id, position in placed],
        )

    def files_written(self) -> None:
        """Every file is written: what was kept to write them goes (the ids of
        a large tree's reference texts take as much memory as resolving them)."""
        self._name_ids = {}

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

    def _references(self, file_id: int, result: Extracted, symbol_ids: list[int]) -> None:
        """Keep the file's references until `update_references` resolves and writes them."""
        self._interned(set(result.reference_texts))
        ids = [self._name_ids[text] for text in result.reference_texts]
        self.pending_references[file_id] = PendingReferences(
            result.reference_count, result.references, array("i", ids), array("i", symbol_ids)
        )

    def removed(self, path: str) -> None:
        previous = self.stored[path]
        self._drop_symbols(previous.id, previous.language)
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


def _qualname_parts(name: str, qualname: str) -> tuple[str | None, str | None]:
    """(outer_name, own_qualname): how a symbol's row keeps its qualname."""
    if not qualname.endswith(name):
        return None, qualname
    return qualname[: len(qualname) - len(name)] or None, None


_KIND_CODES = {kind: code for code, kind in enumerate(KINDS)}


def _kind_parts(kind: str) -> tuple[int, str | None]:
    """(kind_code, own_kind): how a symbol's row keeps its kind."""
    code = _KIND_CODES.get(kind)
    return (-1, kind) if code is None else (code, None)


def _classes(symbols: Iterable[tuple[str, str, str]], family: str) -> dict[tuple[str, str], tuple[str, ...]]:
    """The bases of each class of (qualname, kind, signature) `symbols`, by (qualname, signature)."""
    return {
        (qualname, signature): base_names(signature, family)
        for qualname, kind, signature in symbols
        if kind in CONTAINER_KINDS
    }


def lineage_member_names(connection: sqlite3.Connection, roots: set[str]) -> set[str]:
    """The names of the members of the classes named `roots` and of those they
    derive from, as far as the resolution follows bases."""
    lineage: set[str] = set()
    generation = set(roots)
    for _round in range(MAX_GENERATIONS + 1):
        generation -= lineage
        if not generation:
            break
        lineage |= generation
        generation = {
            base
            for row in queries.definitions_named(connection, sorted(generation))
            if row.kind in CONTAINER_KINDS
            for base in base_names(row.signature, family_of(row.language))
        }
    if not lineage:
        return set()
    return {name for name, qualname in queries.nested_definitions(connection) if owner_name(qualname) in lineage}


def drop_references(connection: sqlite3.Connection, file_id: int) -> set[tuple[int, int]]:
    """Delete the references of the file `file_id` and what finds them; what
    they were resolved to, as `use_pairs`."""
    blob = queries.file_reference_blobs(connection, [file_id]).get(file_id)
    if blob is None:
        return set()
    references = unpack_references(blob)
    connection.executemany(
        "DELETE FROM ref_uses WHERE name = ? AND file_id = ?",
        [(name, file_id) for name in sorted({reference.name for reference in references})],
    )
    connection.executemany(
        "DELETE FROM ref_sources WHERE symbol_id = ? AND file_id = ?",
        [(target, file_id) for target in sorted(_targets_of(references))],
    )
    connection.execute("DELETE FROM file_refs WHERE file_id = ?", (file_id,))
    return _use_pairs_of(file_id, references)


def _targets_of(references: Iterable[ReferenceFields]) -> set[int]:
    return {target for reference in references for target, _units in reference[7]}


def _use_pairs_of(file_id: int, references: Iterable[ReferenceFields]) -> set[tuple[int, int]]:
    """`use_pairs` of a file's references, by ids (a scope of 0: its top level)."""
    return {(reference[4] or -file_id, target) for reference in references for target, _units in reference[7]}


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
# With worker processes, more at a time: each batch starts them again.
PARALLEL_BATCH_FILES = 2048
# Below this many references to resolve, worker processes cost more than they save.
PARALLEL_REFERENCES = 20_000


@dataclass
class _Resolution:
    """What resolving the references of a batch of files needs, and does."""

    resolver: Resolver
    views: dict[int, FileView]
    # Each file's references, as stored or (for the files just read) with
    # nothing resolved yet, those perhaps still as read (`pending_uses`).
    uses: dict[int, list[PackedReference] | PendingReferences]
    texts: dict[int, str]
    whole: set[int]  # files all of whose references are resolved again
    changed: set[int]  # the names (ref_names ids) whose references are resolved again elsewhere

    def file(self, file_id: int) -> _Resolved:
        """The references of the file `file_id`, resolved where they are to be."""
        view = self.views[file_id]
        again = file_id in self.whole
        texts = self.texts
        # Alike uses in one file resolve alike: each is resolved once.
        resolved: dict[tuple[int, int, int, int, int], tuple[int, tuple[tuple[int, int], ...]]] = {}
        written: list[ReferenceFields] = []
        count = 0
        uses = self.uses[file_id]
        if isinstance(uses, PendingReferences):
            uses = pending_uses(uses)
        for reference in uses:
            line, kind, name, qualifier, scope, arity = reference[:6]
            if not again and name not in self.changed:
                written.append(reference)
                continue
            key = (kind, name, qualifier, scope, arity)
            found = resolved.get(key)
            if found is None:
                unresolved = Unresolved(
                    texts[name], texts[qualifier] if qualifier else "", REFERENCE_KINDS[kind], scope or None, arity
                )
                targets, rest = self.resolver.resolve(view, unresolved)
                found = rest, tuple((symbol_id, weight_units(weight)) for symbol_id, weight in targets)
                resolved[key] = found
            written.append((line, kind, name, qualifier, scope, arity, *found))
            count += 1
        return _Resolved(
            file_id, pack_references(written), sorted(_targets_of(written)), len(written), count,
            sorted({reference[2] for reference in written}),
        )


def _use_count(uses: list[PackedReference] | PendingReferences) -> int:
    return uses.total if isinstance(uses, PendingReferences) else len(uses)


class _Resolved(NamedTuple):
    """A file's references resolved."""

    file_id: int
    packed: bytes  # with what they resolve to
    targets: list[int]  # the definitions they resolve to, each once
    total: int  # how many references there are
    resolved: int  # how many were resolved again
    names: list[int]  # the names they use (ref_names ids), each once


# The resolution that forked workers share with the process that forks them:
# set just before they start, so each has it without its being sent.
_FORKED: _Resolution | None = None


def _resolve_in_worker(file_ids: list[int]) -> list[_Resolved]:
    assert _FORKED is not None
    return [_FORKED.file(file_id) for file_id in file_ids]


def _resolve(work: _Resolution, jobs: int) -> list[_Resolved]:
    """Every file of `work` resolved: on `jobs` forked workers when that pays."""
    global _FORKED
    file_ids = list(work.uses)
    total = sum(_use_count(work.uses[file_id]) for file_id in file_ids)
    executor = forked_executor(jobs) if jobs > 1 and total >= PARALLEL_REFERENCES else None
    if executor is None:
        return [work.file(file_id) for file_id in file_ids]
    # Chunks of about alike work, a few per worker, in the files' order.
    chunks: list[list[int]] = [[]]
    size = 0
    for file_id in file_ids:
        chunks[-1].append(file_id)
        size += _use_count(work.uses[file_id])
        if size >= total / (4 * jobs):
            chunks.append([])
            size = 0
    _FORKED = work
    # The workers' collector is to leave alone what they inherit: walking
    # it would copy every page of it into each worker.
    gc.freeze()
    try:
        with interrupts_held():
            futures = [executor.submit(_resolve_in_worker, chunk) for chunk in chunks if chunk]
        return [result for future in futures for result in future.result()]
    except concurrent.futures.process.BrokenProcessPool:
        # A worker died: the work is done here, more slowly but all the same.
        return [work.file(file_id) for file_id in file_ids]
    except BaseException:
        stop_workers(executor)
        raise
    finally:
        _FORKED = None
        gc.unfreeze()
        executor.shutdown(wait=True, cancel_futures=True)


def update_references(
    storage: Storage,
    root: Path,
    files: set[int],
    names: set[str],
    report: RefreshReport,
    pending: dict[int, PendingReferences] | None = None,
    jobs: int = 1,
    dropped_uses: set[tuple[int, int]] | None = None,
) -> bool:
    """Resolve again every reference of `files` and every reference that uses
    one of `names`; write the references of the files in `pending` (the ones
    just read, by ids: see `Writer.pending_references`) with what they resolve
    to. Many references are resolved on `jobs` forked worker processes.

    Whether the uses moved: what these references resolve to now, as
    `use_pairs`, differs from what they resolved to before (the references
    dropped with their files' symbols before this call are `dropped_uses`).
    The other references did not move, so the symbol graph's edges are the
    same when these pairs are. With `dropped_uses` None nothing is compared
    (the caller ranks the graph again anyway) and the answer is True.
    """
    connection = storage.connection
    pending = pending if pending is not None else {}
    root_package = (package_prefix_above(root) or [""])[-1]
    compare = dropped_uses is not None
    uses_before = set(dropped_uses or ())
    uses_after: set[tuple[int, int]] = set()
    table = _ParsedFiles(connection)
    paths, families, ids_by_path = table.paths, table.families, table.ids_by_path
    edges = _ImportEdges(connection)
    known: dict[str, bytes] = {}
    # Whether `known` holds every definition of the tree: then a name it lacks has none.
    complete = False

    def fetch(wanted: Iterable[str] | None) -> None:
        """Read the definitions of the names `wanted` (None: of every name).

        A large tree's definitions are held all at once, for the workers that
        resolve its references: each name's as one marshalled list of plain
        values, made into Definitions only when the name is looked up (a
        kernel's 930,000 as objects took 500 MB, packed a fraction of it)."""
        missing = (
            sorted({name for name in wanted if name not in known})
            if wanted is not None
            else queries.definition_names(connection)
        )
        for start in range(0, len(missing), 10_000):
            chunk = missing[start : start + 10_000]
            found: dict[str, list[tuple[object, ...]]] = {name: [] for name in chunk}
            for row in queries.definitions_named(connection, chunk):
                if row.file_id in paths:
                    qualname = row.qualname if row.qualname != row.name else None
                    key = row.key if row.key != row.qualname else None
                    found[row.name].append(
                        (row.id, row.file_id, qualname, row.kind, row.line, key, row.signature, row.param_count,
                         bool(row.declaration))
                    )
            for name, rows in found.items():
                known[name] = marshal.dumps(rows) if rows else b""

    def lookup(name: str) -> list[Definition]:
        packed = known.get(name)
        if packed is None:
            if complete:
                return []
            fetch([name])
            packed = known[name]
        if not packed:
            return []
        definitions = []
        for symbol_id, file_id, qualname, kind, line, key, signature, param_count, declaration in marshal.loads(packed):
            qualname = name if qualname is None else qualname
            definitions.append(
                Definition(
                    symbol_id, file_id, name, qualname, kind, line, qualname if key is None else key, signature,
                    path=paths[file_id], family=families[file_id], param_count=param_count, declaration=declaration,
                )
            )
        return definitions

    resolver = Resolver(lookup)
    # Whether a file, imported, brings others with it; asked only of the
    # files that the files resolved import, each once.
    brought: dict[int, bool] = {}

    def bringing(target: int) -> bool:
        found = brought.get(target)
        if found is None:
            found = brought[target] = target in paths and (
                is_barrel(paths[target]) or imported_files([target], paths, ids_by_path) != {target}
            )
        return found

    texts: dict[int, str] = {}
    whole = sorted(file_id for file_id in files | pending.keys() if file_id in paths)
    changed = set(queries.ref_name_ids(connection, sorted(names)).values()) if names else set()
    whole_set = set(whole)
    by_name = [file_id for file_id in queries.files_using_names(connection, sorted(changed)) if file_id not in whole_set]
    order = whole + sorted(by_name)
    parallel = jobs > 1 and sum(pending[file_id].total for file_id in order if file_id in pending) >= PARALLEL_REFERENCES
    if parallel or len(order) > table.count() // 8:
        # One read of them all costs less than a read for each file; and
        # a forked worker cannot read the index.
        table.read_all()
        edges.read_all()
    if parallel:
        # A forked worker cannot read the index: it must find every definition it may ask for.
        fetch(None)
        complete = True
    step = PARALLEL_BATCH_FILES if parallel else RESOLVE_BATCH_FILES
    for start in range(0, len(order), step):
        batch = order[start : start + step]
        stored = queries.file_reference_blobs(connection, [file_id for file_id in batch if file_id not in pending])
        old = {file_id: unpack_references(blob) for file_id, blob in stored.items()}
        # The references just read are made into PackedReferences where they
        # are resolved: on the workers, when there are any.
        uses: dict[int, list[PackedReference] | PendingReferences] = {
            file_id: (pending[file_id] if parallel else pending_uses(pending[file_id])) if file_id in pending else old[file_id]
            for file_id in batch
            if file_id in pending or file_id in old
        }
        unknown = {
            text_id
            for references in old.values()
            for reference in references
            for text_id in (reference[2], reference[3])
            if text_id and text_id not in texts
        }
        unknown.update(
            text_id
            for file_id in batch
            if file_id in pending
            for text_id in pending[file_id].names
            if text_id not in texts
        )
        texts.update(queries.ref_name_texts(connection, sorted(unknown)))
        if not complete:
            fetch(
                texts[reference[2]]
                for references in uses.values()
                if not isinstance(references, PendingReferences)
                for reference in references
            )
        views = _file_views(connection, list(uses), paths, families, edges, ids_by_path, bringing, root_package)
        work = _Resolution(resolver, views, uses, texts, whole_set, changed)
        packed_rows: list[tuple[int, int, bytes]] = []
        added_sources: list[tuple[int, int]] = []
        dropped_sources: list[tuple[int, int]] = []
        used_names: list[tuple[int, int]] = []
        for file_id, blob, targets, total, count, names_used in _resolve(work, jobs if parallel else 1):
            report.references_resolved += count
            packed_rows.append((file_id, total, blob))
            if compare and count:
                uses_before |= _use_pairs_of(file_id, old.get(file_id, ()))
                uses_after |= {(scope or -file_id, target) for scope, target in resolved_pairs(blob)}
            before = _targets_of(old.get(file_id, ()))
            after = set(targets)
            added_sources.extend((target, file_id) for target in sorted(after - before))
            dropped_sources.extend((target, file_id) for target in sorted(before - after))
            if file_id in pending:
                used_names.extend((name, file_id) for name in names_used)
        connection.executemany("DELETE FROM ref_sources WHERE symbol_id = ? AND file_id = ?", dropped_sources)
        connection.executemany("INSERT INTO ref_sources (symbol_id, file_id) VALUES (?, ?)", added_sources)
        connection.executemany("INSERT INTO ref_uses (name, file_id) VALUES (?, ?)", used_names)
        connection.executemany("INSERT OR REPLACE INTO file_refs (file_id, uses, refs) VALUES (?, ?, ?)", packed_rows)
    pending.clear()
    return uses_before != uses_after or not compare


_Key = TypeVar("_Key")
_Value = TypeVar("_Value")


class _Lazy(Mapping[_Key, _Value]):
    """A mapping whose entries are read when first asked for (see `_ParsedFiles`)."""

    def __init__(self, read: Callable[[_Key], _Value | None]):
        self._read = read

    def __getitem__(self, key: _Key) -> _Value:
        value = self._read(key)
        if value is None:
            raise KeyError(key)
        return value

    def __iter__(self) -> Iterator[_Key]:
        raise TypeError("the files are read one at a time")

    def __len__(self) -> int:
        raise TypeError("the files are read one at a time")


class _ParsedFiles:
    """The parsed files of the index: each one's path and language family by
    id, and its id by path, read when a file is first asked about. A refresh
    that resolves a few files' references asks about a few thousand files,
    not the tree's 55,000; one that resolves many reads them all at once."""

    def __init__(self, connection: sqlite3.Connection):
        self._connection = connection
        self._by_id: dict[int, tuple[str, str] | None] = {}
        self._by_path: dict[str, int | None] = {}
        self._whole = False
        self.paths: Mapping[int, str] = _Lazy(lambda file_id: self._field(file_id, 0))
        self.families: Mapping[int, str] = _Lazy(lambda file_id: self._field(file_id, 1))
        self.ids_by_path: Mapping[str, int] = _Lazy(self._id)

    def read_all(self) -> None:
        files = {
            file_id: (os.fsdecode(raw), family_of(language))
            for file_id, raw, language in queries.parsed_files(self._connection)
        }
        self._by_path = {path: file_id for file_id, (path, _family) in files.items()}
        self._by_id = dict(files)
        self._whole = True

    def _field(self, file_id: int, place: int) -> str | None:
        found = self._file(file_id)
        return None if found is None else found[place]

    def count(self) -> int:
        return len(self._by_id) if self._whole else queries.parsed_file_count(self._connection)

    def _file(self, file_id: int) -> tuple[str, str] | None:
        if file_id in self._by_id or self._whole:
            return self._by_id.get(file_id)
        found = queries.parsed_file(self._connection, file_id)
        self._by_id[file_id] = entry = None if found is None else (os.fsdecode(found[0]), family_of(found[1]))
        return entry

    def _id(self, path: str) -> int | None:
        if path in self._by_path or self._whole:
            return self._by_path.get(path)
        self._by_path[path] = file_id = queries.parsed_file_id(self._connection, os.fsencode(path))
        return file_id


class _ImportEdges(Mapping[int, list[int]]):
    """The targets of each file's import edges, read from the index when a
    file's are first asked for: a refresh that resolves a few files'
    references reads their edges, not those of the whole tree."""

    def __init__(self, connection: sqlite3.Connection):
        self._connection = connection
        self._read: dict[int, list[int]] = {}
        self._whole = False

    def read_all(self) -> None:
        read: dict[int, list[int]] = collections.defaultdict(list)
        for source, target in queries.all_edges(self._connection):
            read[source].append(target)
        self._read, self._whole = dict(read), True

    def __getitem__(self, source: int) -> list[int]:
        targets = self._read.get(source)
        if targets is None:
            targets = [] if self._whole else queries.import_targets(self._connection, source)
            self._read[source] = targets
        return targets

    def __iter__(self) -> Iterator[int]:
        return iter(self._read)

    def __len__(self) -> int:
        return len(self._read)


def _file_views(
    connection: sqlite3.Connection,
    file_ids: list[int],
    paths: Mapping[int, str],
    families: Mapping[int, str],
    edges: Mapping[int, list[int]],
    ids_by_path: Mapping[str, int],
    bringing: Callable[[int], bool],
    root_package: str,
) -> dict[int, FileView]:
    """The files `file_ids` as the resolution sees them. `bringing`: whether
    a file, imported, brings others with it (a header its source file, an
    index file what it exports again); only
    a file that imports one of them needs `imported_files` at all, where a
    Go file imports each of hundreds of files of its imports' folders."""

    def imported(file_id: int) -> frozenset[int]:
        targets = edges[file_id]
        if not any(bringing(target) for target in targets):
            return frozenset(targets)
        return imported_files(targets, paths, ids_by_path, edges if families[file_id] == "ecmascript" else None)

    views = {
        file_id: FileView(file_id, paths[file_id], families[file_id], imported(file_id))
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
