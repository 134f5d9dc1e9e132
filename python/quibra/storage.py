"""The index on disk: one SQLite file with the schema written out below.

What it holds: every source file of the tree with the stat and content hash
it had when it was read; the symbols of each file with what the channels,
the packer and the hotspot scorer need; the lexical index (an FTS5 table fed
with the engine's own terms, so the index and a query meet term for term);
the names of the symbols for the identity channel; the import edges between
files and the PageRank of each file.

Rules that keep it trustworthy:
- every write happens in one transaction, so a process killed at any moment
  leaves the previous index or the new one, never a mix;
- WAL mode, so queries read a consistent snapshot while a refresh writes, and
  a second writer waits for the first instead of failing;
- the file carries quibra's application id and a schema version: an index
  of an older schema (or a damaged one) is rebuilt, and a file that is not
  quibra's is refused and left untouched.
"""

from __future__ import annotations

import contextlib
import os
import sqlite3
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path

from _quibra_core import __version__

# "QBRA": what `PRAGMA application_id` says in every quibra index.
APPLICATION_ID = 0x51425241
# Raised whenever the schema, the meaning of a stored value, or what the
# readers extract changes; an index of another version is rebuilt from the
# tree, never read.
SCHEMA_VERSION = 7

# A refresh that finds another one writing waits for it this long.
BUSY_TIMEOUT_SECONDS = 600.0

_HEADER = b"SQLite format 3\0"

SCHEMA = """
CREATE TABLE meta (
    key TEXT PRIMARY KEY,
    value TEXT NOT NULL
);
-- Source files of the tree (and the configuration files their languages
-- resolve imports with). Paths are the raw file names, relative to the
-- root with "/" separators: a name need not be valid UTF-8.
CREATE TABLE files (
    id INTEGER PRIMARY KEY,
    path BLOB NOT NULL UNIQUE,
    language TEXT,              -- NULL for a configuration file
    size INTEGER NOT NULL,
    mtime_ns INTEGER NOT NULL,
    ctime_ns INTEGER NOT NULL,
    seen_ns INTEGER NOT NULL,   -- when the stat above was taken
    hash TEXT NOT NULL,         -- the engine's content hash
    skipped TEXT,               -- why the file gave no symbols; NULL when read
    is_test INTEGER NOT NULL DEFAULT 0,  -- whether it holds test code, by its path
    imports TEXT NOT NULL DEFAULT '[]',  -- JSON, in the shape of its language
    pagerank REAL NOT NULL DEFAULT 0.0
);
CREATE TABLE symbols (
    id INTEGER PRIMARY KEY,
    file_id INTEGER NOT NULL REFERENCES files(id),
    key TEXT NOT NULL,          -- qualname, made unique within the file
    name TEXT NOT NULL,
    qualname TEXT NOT NULL,
    kind TEXT NOT NULL,
    line INTEGER NOT NULL,
    start_line INTEGER NOT NULL,
    end_line INTEGER NOT NULL,
    depth INTEGER NOT NULL,
    param_count INTEGER NOT NULL,
    cyclomatic INTEGER NOT NULL,
    max_nesting INTEGER NOT NULL,
    signature TEXT NOT NULL,
    docstring TEXT NOT NULL,
    context_end INTEGER NOT NULL,  -- last line of the text that stands for it in a context
    chars INTEGER NOT NULL,     -- characters of that text
    name_key TEXT NOT NULL,     -- the name lowercased, letters and digits only
    name_terms TEXT NOT NULL    -- the engine's terms of the name, blank-separated
);
CREATE INDEX symbols_by_file ON symbols(file_id);
CREATE INDEX symbols_by_name_key ON symbols(name_key);
CREATE INDEX symbols_by_kind ON symbols(kind, cyclomatic);
-- Every distinct term of each symbol's name, for the identity channel.
CREATE TABLE name_terms (
    term TEXT NOT NULL,
    symbol_id INTEGER NOT NULL,
    PRIMARY KEY (term, symbol_id)
) WITHOUT ROWID;
CREATE INDEX name_terms_by_symbol ON name_terms(symbol_id);
-- The lexical index, in two tables: what a symbol says of itself (its
-- qualified name, signature, docstring and file path) and its code. Apart,
-- each is weighed against the length of its own kind of text: a long body
-- must not drown a name that matches. rowid is the symbol's id, each
-- column the engine's terms of one field, blank-separated; the ascii
-- tokenizer splits only at ASCII punctuation and blanks, which never occur
-- inside an engine term.
CREATE VIRTUAL TABLE lexical USING fts5(name, signature, doc, path, tokenize = 'ascii');
CREATE VIRTUAL TABLE code USING fts5(body, tokenize = 'ascii');
CREATE TABLE edges (
    source INTEGER NOT NULL,
    target INTEGER NOT NULL,
    PRIMARY KEY (source, target)
) WITHOUT ROWID;
"""


class IndexUnusable(Exception):
    """The index cannot be used: not quibra's, unreadable, or in the way."""


class NotQuibraIndex(IndexUnusable):
    """The file exists but belongs to another program; it is left untouched."""


def encode_path(path: str) -> bytes:
    return os.fsencode(path)


def decode_path(raw: bytes) -> str:
    return os.fsdecode(raw)


def _marker(path: Path) -> str:
    """'missing', 'empty', 'ours' or 'foreign', from the file's header.

    A database without application id and without a single table is empty:
    that is what a run killed while creating the index leaves behind.
    """
    try:
        with open(path, "rb") as stream:
            header = stream.read(100)
    except FileNotFoundError:
        return "missing"
    if not header:
        return "empty"
    if len(header) < 72 or not header.startswith(_HEADER):
        return "foreign"
    application_id = int.from_bytes(header[68:72], "big")
    if application_id == APPLICATION_ID:
        return "ours"
    if application_id == 0 and _has_no_tables(path):
        return "empty"
    return "foreign"


def _has_no_tables(path: Path) -> bool:
    try:
        connection = sqlite3.connect(f"{path.resolve().as_uri()}?mode=ro", uri=True)
    except sqlite3.Error:
        return False
    try:
        return bool(connection.execute("SELECT count(*) FROM sqlite_master").fetchone()[0] == 0)
    except sqlite3.Error:
        return False
    finally:
        connection.close()


def remove_database(path: Path, only_if_ours: bool = False) -> None:
    """Delete the index at `path` with its WAL files; with `only_if_ours`,
    refuse (NotQuibraIndex) when the file does not carry quibra's marker."""
    if only_if_ours and _marker(path) == "foreign":
        raise NotQuibraIndex(f"{path} is not a quibra index; left untouched")
    for suffix in ("", "-wal", "-shm", "-journal"):
        with contextlib.suppress(FileNotFoundError):
            os.unlink(f"{path}{suffix}")


@dataclass(frozen=True)
class StoredFile:
    id: int
    path: str
    language: str | None
    size: int
    mtime_ns: int
    ctime_ns: int
    seen_ns: int
    hash: str
    skipped: str | None


class Storage:
    """An open index. Reads need no transaction; `write()` wraps one."""

    def __init__(self, path: Path, claim: bool = False):
        self.path = path
        self.connection = _connect(path, claim)

    def close(self) -> None:
        self.connection.close()

    # Transactions.

    @contextlib.contextmanager
    def write(self) -> Iterator[sqlite3.Connection]:
        """One write transaction: committed on success, rolled back on any error.

        BEGIN IMMEDIATE takes the write lock at once, so two refreshes never
        both work from the same old state; the second waits up to the busy
        timeout and then sees what the first wrote.
        """
        connection = self.connection
        connection.execute("BEGIN IMMEDIATE")
        try:
            yield connection
        except BaseException:
            connection.execute("ROLLBACK")
            raise
        connection.execute("COMMIT")

    @contextlib.contextmanager
    def snapshot(self) -> Iterator[sqlite3.Connection]:
        """A read transaction: every query inside sees the same state of the index."""
        connection = self.connection
        connection.execute("BEGIN")
        try:
            yield connection
        finally:
            connection.execute("COMMIT")

    # Reading.

    def meta(self, key: str) -> str | None:
        row = self.connection.execute("SELECT value FROM meta WHERE key = ?", (key,)).fetchone()
        return None if row is None else str(row[0])

    def stored_files(self) -> dict[str, StoredFile]:
        rows = self.connection.execute(
            "SELECT id, path, language, size, mtime_ns, ctime_ns, seen_ns, hash, skipped FROM files"
        )
        stored = {}
        for row in rows:
            entry = StoredFile(row[0], decode_path(row[1]), *row[2:])
            stored[entry.path] = entry
        return stored


def _connect(path: Path, claim: bool) -> sqlite3.Connection:
    """Open the database; with `claim`, mark a new file as quibra's in its
    very first write, so a second process never sees it unmarked."""
    connection = sqlite3.connect(
        path, timeout=BUSY_TIMEOUT_SECONDS, isolation_level=None, check_same_thread=False
    )
    try:
        if claim:
            connection.execute(f"PRAGMA application_id = {APPLICATION_ID}")
        # WAL lets readers go on beside a writer; with it, NORMAL sync still
        # survives a killed process (only a power cut may lose the last commit).
        connection.execute("PRAGMA journal_mode = WAL")
        connection.execute("PRAGMA synchronous = NORMAL")
    except sqlite3.Error:
        connection.close()
        raise
    return connection


def _schema_version(connection: sqlite3.Connection) -> int:
    return int(connection.execute("PRAGMA user_version").fetchone()[0])


def _statements(script: str) -> list[str]:
    """The statements of `script`, one by one: executescript would commit the
    open transaction first."""
    statements, pending = [], ""
    for line in script.splitlines(keepends=True):
        pending += line
        if sqlite3.complete_statement(pending):
            statements.append(pending)
            pending = ""
    return statements


def _create(connection: sqlite3.Connection) -> None:
    """Write the schema into an empty database, unless another process just did."""
    connection.execute("BEGIN IMMEDIATE")
    try:
        if _schema_version(connection) == 0:
            for statement in _statements(SCHEMA):
                connection.execute(statement)
            connection.execute("INSERT INTO meta (key, value) VALUES ('version', ?)", (__version__,))
            connection.execute(f"PRAGMA application_id = {APPLICATION_ID}")
            connection.execute(f"PRAGMA user_version = {SCHEMA_VERSION}")
    except BaseException:
        connection.execute("ROLLBACK")
        raise
    connection.execute("COMMIT")


def _current(storage: Storage) -> bool:
    """Whether the index holds this version's schema (creating it in an empty file).

    The quibra version counts too: a newer reader may extract other symbols
    from the same file, and an index must not mix the two.
    """
    if _schema_version(storage.connection) == 0:
        _create(storage.connection)
    if _schema_version(storage.connection) != SCHEMA_VERSION:
        return False
    return storage.meta("version") == __version__


def open_storage(path: Path) -> Storage:
    """Open the index at `path`, creating it, or rebuilding it when it is
    quibra's but of another version or damaged.

    Raises NotQuibraIndex for a file of another program, which is left
    untouched, and IndexUnusable when the file cannot be opened at all.
    """
    marker = _marker(path)
    if marker == "foreign":
        raise NotQuibraIndex(f"{path} is not a quibra index; left untouched")
    storage = None
    try:
        storage = Storage(path, claim=marker in ("missing", "empty"))
        if _current(storage):
            return storage
        storage.close()
    except sqlite3.DatabaseError as error:
        if storage is not None:
            storage.close()
        if isinstance(error, sqlite3.OperationalError) and ("locked" in str(error) or "busy" in str(error)):
            raise IndexUnusable(f"the index {path} is locked by another program") from None
        if marker == "missing" or _marker(path) == "foreign":
            raise IndexUnusable(f"cannot open the index {path}: {error}") from None
    # Quibra's own file, but of another version or damaged: built again from the tree.
    remove_database(path)
    storage = Storage(path, claim=True)
    _create(storage.connection)
    return storage
