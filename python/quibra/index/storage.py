"""The index on disk: one SQLite file with the schema written out below.

What it holds: every source file of the tree with the stat and content hash
it had when it was read; the symbols of each file with what the channels,
the packer and the hotspot scorer need; the lexical index (an FTS5 table fed
with the engine's own terms, so the index and a query meet term for term);
the names of the symbols for the identity channel; the import edges between
files and the PageRank of each file; every use of a name (a reference) and
the definitions it was resolved to.

Rules that keep it trustworthy:
- every write happens in one transaction, so a process killed at any moment
  leaves the previous index or the new one, never a mix;
- WAL mode, so queries read a consistent snapshot while a refresh writes, and
  a second writer waits for the first instead of failing; a build into an
  empty index alone goes through a rollback journal (`Storage.journaled`);
- the file carries quibra's application id and a schema version. A new index
  is written under a temporary name beside its place and moved there only
  once it carries both, so quibra never leaves an unmarked file at an index
  path: whatever is there without the mark, an empty file too, belongs to
  another program and is refused and left untouched;
- creating or replacing an index holds a lock on its folder: of two
  processes that both find no index, one builds it and the other uses it;
- no symbolic link is followed to the index or to the files SQLite keeps
  beside it (a link is refused), so a link committed to a tree cannot make
  quibra write anywhere else;
- quibra's own index of another schema or version is rebuilt, and so is one
  that SQLite finds damaged (corrupt, or no database any more), saying so;
  any other failure (a full disk, a read-only file or folder, an I/O error,
  a lock held too long) is reported in one line and leaves the file exactly
  as it was;
- an index holds the words of the code it read, so it is readable by its
  owner alone, and SQLite gives the files beside it the same mode.
"""

from __future__ import annotations

import collections
import contextlib
import errno
import fcntl
import hashlib
import os
import sqlite3
import stat
import tempfile
import threading
from collections.abc import Iterable, Iterator
from pathlib import Path

from _quibra_core import __version__

from quibra.index import queries

# "QBRA": what `PRAGMA application_id` says in every quibra index.
APPLICATION_ID = 0x51425241
# Raised whenever the schema, the meaning of a stored value, or what the
# readers extract changes; an index of another version is rebuilt from the
# tree, never read. (20: a Javadoc or JSDoc block documents the declaration
# after it across blank lines.)
SCHEMA_VERSION = 21

# The full-text tables of the schema below.
FULL_TEXT = ("lexical", "code", "name_terms", "name_keys")

# In the meta table while a first build that commits as it goes is under
# way, or was killed before it was done.
BUILDING = "building"

# A refresh that finds another one writing waits for it this long.
BUSY_TIMEOUT_SECONDS = 600.0

# The meta key of a token that every write transaction which changes the
# index replaces with a new one: two read transactions that find the same
# token see the same state of the index.
WRITE_TOKEN = "write_token"

# How long a side reader (see `Storage.side_snapshots`) waits for a lock.
SIDE_TIMEOUT_SECONDS = 1.0

_HEADER = b"SQLite format 3\0"
# The files SQLite keeps beside an index, by how their names end.
_BESIDE = ("-wal", "-shm", "-journal")
# A new index is built under ".NAME-<random>.building" beside its place.
_BUILDING = ".building"
# The indexes this process has open through SQLite, by (device, inode).
# Their headers are not read again: closing any other descriptor of such a
# file would drop the locks SQLite holds on it, which belong to the process.
_OPEN: collections.Counter[tuple[int, int]] = collections.Counter()

# The kinds of symbols the readers give, by the number a symbol's row keeps.
KINDS = ("function", "method", "class", "struct", "interface", "trait", "enum", "type", "impl", "module")

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
    hash TEXT NOT NULL,         -- SHA-256 of the content (content_digest)
    skipped TEXT,               -- why the file gave no symbols; NULL when read
    replaced INTEGER NOT NULL DEFAULT 0,  -- read with bytes that are not valid UTF-8 replaced
    role INTEGER NOT NULL DEFAULT 0,  -- by its path: 0 the code itself, 1 tests, 2 benchmarks, examples and the like
    imports TEXT NOT NULL DEFAULT '[]',  -- JSON, in the shape of its language
    pagerank REAL NOT NULL DEFAULT 0.0
);
-- A symbol's row holds no more than it must: its qualname as what comes
-- before its name, its kind as a number, its lines as steps from its line
-- (mostly none); the columns as the queries read them are computed from
-- those, never stored. (Not the signature without its name: put together
-- again for each row read, it made reading the symbols a tenth slower.)
CREATE TABLE symbols (
    id INTEGER PRIMARY KEY,
    file_id INTEGER NOT NULL REFERENCES files(id),
    own_key TEXT,               -- the key where it is not the qualname (a name defined twice)
    name TEXT NOT NULL,
    outer_name TEXT,            -- what the qualname holds before the name; NULL for none
    own_qualname TEXT,          -- the qualname where it does not end with the name
    kind_code INTEGER NOT NULL, -- index in KINDS; -1 for another kind, then in own_kind
    own_kind TEXT,
    line INTEGER NOT NULL,
    above INTEGER NOT NULL,     -- line - start_line
    below INTEGER NOT NULL,     -- end_line - line
    cut INTEGER NOT NULL,       -- end_line - context_end
    depth INTEGER NOT NULL,
    param_count INTEGER NOT NULL,
    cyclomatic INTEGER NOT NULL,
    max_nesting INTEGER NOT NULL,
    signature TEXT NOT NULL,
    chars INTEGER NOT NULL,     -- characters of the text that stands for it in a context
    name_terms TEXT NOT NULL,   -- the engine's terms of the name, blank-separated
    declaration INTEGER NOT NULL DEFAULT 0,  -- 1 for a function declared without its body
    importance REAL NOT NULL DEFAULT 0.0,  -- PageRank in the symbol graph (importance.py)
    doc_key INTEGER NOT NULL DEFAULT 0,  -- a digest of its documentation (doc_key); 0 without any
    qualname TEXT GENERATED ALWAYS AS (coalesce(own_qualname, coalesce(outer_name, '') || name)) VIRTUAL,
    kind TEXT GENERATED ALWAYS AS (coalesce(own_kind, CASE kind_code {kinds} END)) VIRTUAL,
    start_line INTEGER GENERATED ALWAYS AS (line - above) VIRTUAL,
    end_line INTEGER GENERATED ALWAYS AS (line + below) VIRTUAL,
    -- last line of the text that stands for it in a context
    context_end INTEGER GENERATED ALWAYS AS (line + below - cut) VIRTUAL,
    -- qualname, made unique within the file
    key TEXT GENERATED ALWAYS AS (coalesce(own_key, qualname)) VIRTUAL
);
CREATE INDEX symbols_by_file ON symbols(file_id);
-- References are resolved by the name they use.
CREATE INDEX symbols_by_name ON symbols(name);
-- The map reads symbols from the most important down.
CREATE INDEX symbols_by_importance ON symbols(importance);
-- The names of the symbols for the identity channel, as full-text tables
-- that keep neither text nor places: rowid is the symbol's id, the column
-- the terms of its name (name_terms), or its name key (name_keys: the name
-- a query calls it by, lowercased, letters and digits only; see
-- `extract.identity_key`). A term's list of symbols costs a byte or two a
-- symbol, where a row of a table and its index cost twenty. A symbol's
-- rows leave them given its `name_terms` and its name key again.
CREATE VIRTUAL TABLE name_terms USING fts5(terms, tokenize = 'ascii', content = '', detail = none, columnsize = 0);
CREATE VIRTUAL TABLE name_keys USING fts5(key, tokenize = 'ascii', content = '', detail = none, columnsize = 0);
-- The lexical index, in two tables: what a symbol says of itself (its
-- qualified name, signature, docstring and file path) and its code. Apart,
-- each is weighed against the length of its own kind of text: a long body
-- must not drown a name that matches. rowid is the symbol's id, each
-- column the engine's terms of one field, blank-separated; the ascii
-- tokenizer splits only at ASCII punctuation and blanks, which never occur
-- inside an engine term. The tables keep only the full-text index (BM25
-- needs no more), not the text they were given.
CREATE VIRTUAL TABLE lexical USING fts5(name, signature, doc, path, tokenize = 'ascii', content = '');
CREATE VIRTUAL TABLE code USING fts5(body, tokenize = 'ascii', content = '');
-- A build gives the two tables hundreds of megabytes of terms in one
-- transaction. Each gathers them in memory and writes them out as a new
-- segment, later merged with others, whenever it holds more than its hash
-- size: 1 MB by default, where 16 and 8 MB write far fewer segments and
-- merge them less often (a quarter less time writing the kernel's terms;
-- larger sizes saved no more).
INSERT INTO code (code, rank) VALUES ('hashsize', 16777216);
INSERT INTO lexical (lexical, rank) VALUES ('hashsize', 8388608);
-- What each file's symbols gave the two tables above, compressed: a row
-- leaves a table without stored text only when given its tokens again.
CREATE TABLE file_terms (
    file_id INTEGER PRIMARY KEY,
    symbols TEXT NOT NULL,      -- JSON: the ids of the file's symbols, in the order of `terms`
    terms BLOB NOT NULL         -- see `packed.pack_terms`
);
CREATE TABLE edges (
    source INTEGER NOT NULL,
    target INTEGER NOT NULL,
    PRIMARY KEY (source, target)
) WITHOUT ROWID;
-- The names that references use and reach them through, each stored once:
-- a large tree repeats a few hundred thousand names millions of times.
CREATE TABLE ref_names (
    id INTEGER PRIMARY KEY,
    text TEXT NOT NULL UNIQUE
);
-- Every use of a name in a file, as its reader saw it, with the
-- definitions it was resolved to: one packed row per file
-- (`packed.pack_references`), a use's place among them its `seq`.
CREATE TABLE file_refs (
    file_id INTEGER PRIMARY KEY,
    uses INTEGER NOT NULL,      -- how many references it packs
    refs BLOB NOT NULL
);
-- The files whose references use each name, for a refresh to resolve them
-- again when the name's definitions change.
CREATE TABLE ref_uses (
    name INTEGER NOT NULL,      -- ref_names.id
    file_id INTEGER NOT NULL,
    PRIMARY KEY (name, file_id)
) WITHOUT ROWID;
-- The files that hold references resolved to each symbol.
CREATE TABLE ref_sources (
    symbol_id INTEGER NOT NULL,
    file_id INTEGER NOT NULL,
    PRIMARY KEY (symbol_id, file_id)
) WITHOUT ROWID;
"""


SCHEMA = SCHEMA.replace(
    "{kinds}", " ".join(f"WHEN {code} THEN '{kind}'" for code, kind in enumerate(KINDS))
)


class IndexUnusable(Exception):
    """The index cannot be used: not quibra's, unreadable, or in the way."""


class NotQuibraIndex(IndexUnusable):
    """The file exists but belongs to another program; it is left untouched."""


def content_digest(content: bytes) -> str:
    """What the index records of a file's content, to tell later whether it changed.

    SHA-256, not a fast 64-bit hash: anyone can craft two files whose 64-bit
    hashes agree, and a refresh that trusted such a hash would keep the old
    symbols of an edited file and report nothing changed.
    """
    return hashlib.sha256(content).hexdigest()


def doc_key(documentation: str) -> int:
    """A digest of a symbol's documentation, to tell two alike without keeping
    the text (the files hold it); 0 for none."""
    if not documentation:
        return 0
    digest = hashlib.blake2b(documentation.encode("utf-8", "surrogatepass"), digest_size=8).digest()
    return int.from_bytes(digest, "big", signed=True) or 1


def encode_path(path: str) -> bytes:
    return os.fsencode(path)


def _lstat(path: str | Path) -> os.stat_result | None:
    try:
        return os.lstat(path)
    except FileNotFoundError:
        return None


def _same_file(one: os.stat_result, other: os.stat_result) -> bool:
    return (one.st_dev, one.st_ino) == (other.st_dev, other.st_ino)


def linked(path: Path) -> Path | None:
    """The first of the index at `path` and the files SQLite keeps beside it
    that is a symbolic link, if any."""
    for candidate in (path, *(Path(f"{path}{suffix}") for suffix in _BESIDE)):
        info = _lstat(candidate)
        if info is not None and stat.S_ISLNK(info.st_mode):
            return candidate
    return None


def _refuse_link(path: Path) -> None:
    link = linked(path)
    if link is not None:
        raise IndexUnusable(f"{link} is a symbolic link; quibra follows no link to its index or beside it")


def _state(path: Path) -> tuple[str, os.stat_result | None]:
    """('missing', None), or 'ours' or 'foreign' with the file's stat: ours
    when its header carries quibra's application id. Follows no link
    (IndexUnusable) and opens nothing but a regular file: a pipe would hang."""
    _refuse_link(path)
    info = _lstat(path)
    if info is None:
        return "missing", None
    if not stat.S_ISREG(info.st_mode):
        return "foreign", info
    if _OPEN[(info.st_dev, info.st_ino)]:
        return "ours", info
    try:
        descriptor = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
    except FileNotFoundError:
        return "missing", None
    except OSError as error:
        if error.errno == errno.ELOOP:  # a link put there since
            _refuse_link(path)
        raise
    with os.fdopen(descriptor, "rb") as stream:
        info = os.fstat(descriptor)
        header = stream.read(100) if stat.S_ISREG(info.st_mode) else b""
    marked = header.startswith(_HEADER) and header[68:72] == APPLICATION_ID.to_bytes(4, "big")
    return ("ours" if marked else "foreign"), info


@contextlib.contextmanager
def _folder_lock(folder: Path, wait: bool) -> Iterator[bool]:
    """Hold the lock that whoever creates or replaces an index in `folder`
    holds; yields whether it is held: not when another holds it and `wait`
    is false, nor where the file system keeps no such locks."""
    try:
        descriptor: int | None = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    except OSError:
        descriptor = None
    held = False
    if descriptor is not None:
        with contextlib.suppress(OSError):
            fcntl.flock(descriptor, fcntl.LOCK_EX if wait else fcntl.LOCK_EX | fcntl.LOCK_NB)
            held = True
    try:
        yield held
    finally:
        if descriptor is not None:
            os.close(descriptor)


def _remove(path: str | Path) -> None:
    """Delete `path` and the files SQLite kept beside it."""
    for suffix in ("", *_BESIDE):
        with contextlib.suppress(FileNotFoundError):
            os.unlink(f"{path}{suffix}")


def _sweep(path: Path) -> None:
    """Delete what builds killed before they were done left beside `path`.
    Only with the folder's lock held: no build still running owns any of it."""
    prefix = f".{path.name}-"
    with contextlib.suppress(OSError), os.scandir(path.parent) as entries:
        for entry in entries:
            name = entry.name
            for suffix in _BESIDE:
                name = name.removesuffix(suffix)
            if entry.name.startswith(prefix) and name.endswith(_BUILDING):
                with contextlib.suppress(OSError):
                    os.unlink(entry.path)


def _built(path: Path) -> Path:
    """A complete, empty index, marked and with the schema, under a new
    temporary name beside `path`, readable by its owner alone."""
    descriptor, name = tempfile.mkstemp(prefix=f".{path.name}-", suffix=_BUILDING, dir=path.parent)
    os.close(descriptor)
    try:
        connection = sqlite3.connect(name, isolation_level=None)
        try:
            # Written with a rollback journal, so the file is whole once this
            # commits; WAL from then on, as every index is.
            _create(connection)
            connection.execute("PRAGMA journal_mode = WAL")
        finally:
            connection.close()
    except BaseException:
        _remove(name)
        raise
    return Path(name)


def _put_in_place(path: Path, judged: os.stat_result | None) -> bool:
    """Put a new, empty index at `path`, where there is none (`judged` is
    None) or in place of the file `judged`; whether it did (not when another
    process got there first)."""
    with _folder_lock(path.parent, wait=True) as held:
        if held:
            _sweep(path)
        now = _lstat(path)
        if judged is None and now is not None:
            return False
        if judged is not None and (now is None or not _same_file(now, judged)):
            return False
        temp = _built(path)
        try:
            # What SQLite kept beside the old file (or beside one deleted by
            # hand) would be read as part of the new one.
            for suffix in _BESIDE:
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(f"{path}{suffix}")
            if judged is not None:
                os.replace(temp, path)
            else:
                try:
                    # Never over a file another process put there meanwhile,
                    # where the folder keeps no lock.
                    os.link(temp, path)
                except FileExistsError:
                    return False
                except OSError:  # a file system without hard links
                    if not held or _lstat(path) is not None:
                        raise
                    os.rename(temp, path)
        finally:
            _remove(temp)
    return True


def is_damage(error: sqlite3.Error) -> bool:
    """Whether SQLite says the file itself is damaged: corrupt, or no database."""
    return _primary_code(error) in (sqlite3.SQLITE_CORRUPT, sqlite3.SQLITE_NOTADB)


def _primary_code(error: sqlite3.Error) -> int | None:
    code = getattr(error, "sqlite_errorcode", None)
    return None if code is None else int(code) & 0xFF


def _no_room(path: Path) -> bool:
    """Whether the file system of `path` is full: SQLite reports a failed
    write to the memory it shares beside the index as an I/O error."""
    try:
        return os.statvfs(path.parent).f_bavail == 0
    except OSError:
        return False


def failure(error: sqlite3.Error, path: Path) -> str:
    """What to tell the user, in one line, when SQLite fails on the index at `path`."""
    code = _primary_code(error)
    kept = "the index is left as it was"
    if code in (sqlite3.SQLITE_BUSY, sqlite3.SQLITE_LOCKED):
        return f"the index {path} is locked by another program ({error})"
    if code == sqlite3.SQLITE_FULL or (code == sqlite3.SQLITE_IOERR and _no_room(path)):
        return f"the disk is full: cannot write the index {path}; {kept}"
    if code in (sqlite3.SQLITE_READONLY, sqlite3.SQLITE_PERM):
        return f"cannot write the index {path}: it is read-only ({error}); {kept}"
    if code == sqlite3.SQLITE_CANTOPEN:
        return f"cannot open the index {path} ({error}): SQLite must create files in its folder; {kept}"
    if code == sqlite3.SQLITE_IOERR:
        return f"an I/O error on the index {path} ({error}); {kept}"
    if code in (sqlite3.SQLITE_CORRUPT, sqlite3.SQLITE_NOTADB):
        return f"the index {path} is damaged ({error})"
    return f"cannot use the index {path}: {error}"


class Storage:
    """An open index. Reads need no transaction; `write()` wraps one."""

    def __init__(self, path: Path, judged: os.stat_result | None = None):
        self.path = path
        # The file as it was found before SQLite opened it: a rebuild
        # replaces that file, not one another process has put there since.
        self.judged = judged
        # Why the index was rebuilt empty when it was opened: SQLite's word
        # for the damage it found.
        self.rebuilt: str | None = None
        self.connection = _connect(path)
        self._key = None if judged is None else (judged.st_dev, judged.st_ino)
        if self._key is not None:
            _OPEN[self._key] += 1
        # The changes made by this connection when its write transaction began.
        self._changes_at_begin = 0
        # Read-only connections for queries that run beside the main one, and
        # who has them; see `side_snapshots`.
        self._sides: list[sqlite3.Connection] = []
        self._sides_taken = threading.Lock()
        # Notes (see `keep_note`) worked out inside a transaction, kept when it
        # ends; and notes for the state a write transaction leaves (`note_written`).
        self._notes: list[tuple[str, str, str]] = []
        self._written_notes: dict[str, str] = {}

    def close(self) -> None:
        with self._sides_taken:
            for side in self._sides:
                side.close()
            self._sides.clear()
        self.connection.close()
        if self._key is not None:
            _OPEN[self._key] -= 1
            if not _OPEN[self._key]:
                del _OPEN[self._key]
            self._key = None

    # Transactions.

    def write(self) -> contextlib.AbstractContextManager[sqlite3.Connection]:
        """One write transaction: committed on success, rolled back on any error.

        BEGIN IMMEDIATE takes the write lock at once, so two refreshes never
        both work from the same old state; the second waits up to the busy
        timeout and then sees what the first wrote.
        """
        return self._transaction("BEGIN IMMEDIATE")

    @contextlib.contextmanager
    def journaled(self) -> Iterator[bool]:
        """Write the transactions within through a rollback journal, not the
        WAL; yields whether it does. For a build into an empty index: the WAL
        would grow to the size of the whole index and every page be written
        twice, where a rollback journal keeps only the few pages the empty
        index had, and a process killed meanwhile still leaves that empty
        index (the journal is rolled back when the index is next opened).
        Readers wait for the build instead of reading the empty index.

        Leaving WAL needs the index to itself: where another connection has
        it open, nothing changes (at once, without waiting for it)."""
        connection = self.connection
        switched = False
        with self._not_waiting(), contextlib.suppress(sqlite3.OperationalError):
            switched = connection.execute("PRAGMA journal_mode = DELETE").fetchone()[0] == "delete"
        try:
            yield switched
        finally:
            if switched:
                # Failing here (a full disk) leaves the journal mode to the next opening.
                with contextlib.suppress(sqlite3.Error):
                    connection.execute("PRAGMA journal_mode = WAL")

    def compact(self) -> None:
        """Outside a transaction: write the index again into as few pages as
        it needs. Like any write, all or nothing; where it cannot be done (a
        disk too full to hold the copy it makes, another process reading or
        writing), the index is left as it was, only larger."""
        with self._not_waiting(), contextlib.suppress(sqlite3.OperationalError):
            self.connection.execute("VACUUM")

    @contextlib.contextmanager
    def _not_waiting(self) -> Iterator[None]:
        """Within: a lock that another connection holds fails at once, not after the busy timeout."""
        self.connection.execute("PRAGMA busy_timeout = 0")
        try:
            yield
        finally:
            self.connection.execute(f"PRAGMA busy_timeout = {int(BUSY_TIMEOUT_SECONDS * 1000)}")

    def commit_so_far(self) -> None:
        """Inside `write()`: commit what is written, for readers to see, and go
        on in a new write transaction."""
        self._mark_written()
        self.connection.execute("COMMIT")
        self.connection.execute("BEGIN IMMEDIATE")
        self._changes_at_begin = self.connection.total_changes

    def _mark_written(self) -> None:
        """Before a commit: a new write token, if the transaction changed
        anything, and the notes made for the state it leaves."""
        notes, self._written_notes = self._written_notes, {}
        if self.connection.total_changes != self._changes_at_begin:
            token = os.urandom(8).hex()
            self.connection.execute("INSERT OR REPLACE INTO meta (key, value) VALUES (?, ?)", (WRITE_TOKEN, token))
            for key, value in notes.items():
                queries.keep_note(self.connection, key, f"{token} {value}", WRITE_TOKEN, token)

    def clear(self) -> None:
        """Inside `write()`: empty every table, as a new index is."""
        connection = self.connection
        # The full-text tables keep their own tables beside them, named after them.
        shadows = " ".join(f"AND name NOT LIKE '{table}_%'" for table in FULL_TEXT)
        for (table,) in connection.execute(
            "SELECT name FROM sqlite_schema WHERE type = 'table' AND sql NOT LIKE 'CREATE VIRTUAL TABLE%'"
            f" AND name NOT LIKE 'sqlite_%' {shadows} AND name != 'meta'"
        ).fetchall():
            connection.execute(f'DELETE FROM "{table}"')
        for table in FULL_TEXT:
            connection.execute(f"INSERT INTO {table} ({table}) VALUES ('delete-all')")
        connection.execute("DELETE FROM meta WHERE key != 'version'")

    def generation(self) -> tuple[int, int]:
        """A value that moves whenever the index is written, by this connection
        or any other: what a reader may key what it keeps of the index by."""
        (version,) = self.connection.execute("PRAGMA data_version").fetchone()
        return int(version), self.connection.total_changes

    def snapshot(self) -> contextlib.AbstractContextManager[sqlite3.Connection]:
        """A read transaction: every query inside sees the same state of the index."""
        return self._transaction("BEGIN")

    @contextlib.contextmanager
    def _transaction(self, begin: str) -> Iterator[sqlite3.Connection]:
        connection = self.connection
        connection.execute(begin)
        self._changes_at_begin = connection.total_changes
        try:
            yield connection
            self._mark_written()
        except BaseException:
            self._notes.clear()
            self._written_notes.clear()
            _roll_back(connection)
            raise
        connection.execute("COMMIT")
        self._keep_notes()

    @contextlib.contextmanager
    def side_snapshots(self, count: int) -> Iterator[list[sqlite3.Connection]]:
        """Inside `snapshot()`: `count` more connections, each in a read
        transaction that sees the very state the snapshot sees, for queries
        to run on other threads beside it; none where they cannot be had
        (another call has them, the index was written since the snapshot
        began, or SQLite refuses). Each may be used by one thread at a time,
        and by none once the block ends."""
        if not self._sides_taken.acquire(blocking=False):
            yield []
            return
        begun: list[sqlite3.Connection] = []
        try:
            try:
                while len(self._sides) < count:
                    self._sides.append(_side_connection(self.path))
                token = queries.meta(self.connection, WRITE_TOKEN)
                for side in self._sides[:count]:
                    side.execute("BEGIN")
                    begun.append(side)
                # The first read of each begins its snapshot: the same token, the same state.
                same = all(queries.meta(side, WRITE_TOKEN) == token for side in begun)
            except sqlite3.Error:
                # Opened again next time: one of them may be what failed.
                for side in self._sides:
                    side.close()
                self._sides.clear()
                begun.clear()
                same = False
            yield begun if same else []
        finally:
            for side in begun:
                _roll_back(side)
            self._sides_taken.release()

    # Notes: what a reader worked out about one state of the index, kept for
    # the next reader of that state. A note changes nothing the answers read,
    # so keeping one makes no new write token; any write that does makes
    # every note kept before it stale.

    def state(self) -> str | None:
        """The write token of the index as this connection sees it now (None
        for an index without one): what a note is kept for."""
        return self.meta(WRITE_TOKEN)

    def note(self, key: str) -> str | None:
        """The note kept under `key` for the index as it is now; None when
        there is none, or the index was written since it was kept."""
        value = self.meta(key)
        if value is None:
            return None
        token, _, kept = value.partition(" ")
        return kept if token == self.state() else None

    def keep_note(self, key: str, value: str, state: str) -> None:
        """Keep `value` under `key` for the index in `state` (what `state()`
        gave), if it is still in that state; inside a transaction, once it
        ends. Never waits for another writer, and gives up quietly when one
        writes or the index cannot be written: a note only saves a later
        reader work."""
        self._notes.append((key, value, state))
        if not self.connection.in_transaction:
            self._keep_notes()

    def note_written(self, key: str, value: str) -> None:
        """Inside `write()`: keep `value` under `key` for the state of the index
        that this transaction leaves, where it changes anything."""
        self._written_notes[key] = value

    def keep_notes_through(self) -> None:
        """Inside `write()`, for a transaction that changes nothing any note
        tells of (the symbols' importance): every note kept for the state it
        began in is kept for the state it leaves."""
        state = self.state()
        if state is not None:
            for key, value in queries.notes_for(self.connection, state):
                self.note_written(key, value)

    def _keep_notes(self) -> None:
        notes, self._notes = self._notes, []
        if not notes:
            return
        connection = self.connection
        with self._not_waiting():
            try:
                connection.execute("BEGIN IMMEDIATE")
                for key, value, state in notes:
                    queries.keep_note(connection, key, f"{state} {value}", WRITE_TOKEN, state)
                connection.execute("COMMIT")
            except sqlite3.Error:
                _roll_back(connection)

    # Reading.

    def meta(self, key: str) -> str | None:
        return queries.meta(self.connection, key)

    def stored_files(self) -> dict[str, queries.StoredFile]:
        return queries.stored_files(self.connection)

    def stored_files_at(self, paths: Iterable[str]) -> dict[str, queries.StoredFile]:
        return queries.stored_files_at(self.connection, paths)

    def file_stats(self) -> set[tuple[bytes, str | None, int, int, int]]:
        return queries.file_stats(self.connection)

    def unsettled_files(self, racy_ns: int, unavailable: str) -> bool:
        return queries.unsettled_files(self.connection, racy_ns, unavailable)


def _roll_back(connection: sqlite3.Connection) -> None:
    """End the open transaction after a failure, keeping that failure the one
    reported: after some errors (a full disk) SQLite has already rolled back."""
    if connection.in_transaction:
        with contextlib.suppress(sqlite3.Error):
            connection.execute("ROLLBACK")


def _side_connection(path: Path) -> sqlite3.Connection:
    """A read-only connection to the index at `path`, as `Storage.side_snapshots` lends."""
    return sqlite3.connect(
        f"{path.resolve().as_uri()}?mode=ro", uri=True, timeout=SIDE_TIMEOUT_SECONDS, isolation_level=None,
        check_same_thread=False,
    )


def _connect(path: Path) -> sqlite3.Connection:
    connection = sqlite3.connect(
        path, timeout=BUSY_TIMEOUT_SECONDS, isolation_level=None, check_same_thread=False
    )
    try:
        # WAL lets readers go on beside a writer; with it, NORMAL sync still
        # survives a killed process (only a power cut may lose the last commit).
        _wal_mode(connection)
        connection.execute("PRAGMA synchronous = NORMAL")
    except sqlite3.Error:
        connection.close()
        raise
    return connection


# How many times opening an index waits for a build in a rollback journal
# (`Storage.journaled`) to end before it gives up.
_BUILDS_WAITED = 5


def _wal_mode(connection: sqlite3.Connection) -> None:
    """Put the index in WAL mode, as every index is but while it is first built.

    Entering WAL mode needs the index to itself. While another process
    builds it through a rollback journal, SQLite refuses at once rather than
    wait (both would wait for the other): this waits for that build's write
    lock instead, and then tries again.
    """
    for _attempt in range(_BUILDS_WAITED):
        try:
            connection.execute("PRAGMA journal_mode = WAL")
            return
        except sqlite3.OperationalError as error:
            if _primary_code(error) not in (sqlite3.SQLITE_BUSY, sqlite3.SQLITE_LOCKED):
                raise
        # Waits (up to the busy timeout) until the build commits or rolls back.
        connection.execute("BEGIN IMMEDIATE")
        connection.execute("ROLLBACK")
    connection.execute("PRAGMA journal_mode = WAL")


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
    """Write the schema and quibra's mark into a new, empty database."""
    connection.execute("BEGIN IMMEDIATE")
    try:
        for statement in _statements(SCHEMA):
            connection.execute(statement)
        connection.execute("INSERT INTO meta (key, value) VALUES ('version', ?)", (__version__,))
        connection.execute(f"PRAGMA application_id = {APPLICATION_ID}")
        connection.execute(f"PRAGMA user_version = {SCHEMA_VERSION}")
    except BaseException:
        _roll_back(connection)
        raise
    connection.execute("COMMIT")


def _current(storage: Storage) -> bool:
    """Whether the index holds this version's schema.

    The quibra version counts too: a newer reader may extract other symbols
    from the same file, and an index must not mix the two.
    """
    if _schema_version(storage.connection) != SCHEMA_VERSION:
        return False
    return storage.meta("version") == __version__


def open_storage(path: Path) -> Storage:
    """Open the index at `path`: create it where there is none, and rebuild
    it empty when it is quibra's but of another version, or damaged (then
    `Storage.rebuilt` says what SQLite found).

    Raises NotQuibraIndex for any other file at `path`, which is left
    untouched; IndexUnusable for a symbolic link, or when SQLite cannot use
    the index as it is, which is left as it was; OSError (or sqlite3.Error)
    when no new index can be written in the folder.
    """
    with _folder_lock(path.parent, wait=False) as free:
        if free:
            _sweep(path)
    rebuilt: str | None = None
    # More than one round only when other processes create or replace the
    # file meanwhile.
    for _round in range(5):
        state, judged = _state(path)
        if state == "foreign":
            raise NotQuibraIndex(f"{path} is not a quibra index; left untouched")
        if state == "missing":
            _put_in_place(path, None)
            continue
        damage: sqlite3.DatabaseError | None = None
        storage = None
        try:
            storage = Storage(path, judged)
            if _current(storage):
                storage.rebuilt = rebuilt
                return storage
        except sqlite3.DatabaseError as error:
            if not is_damage(error):
                if storage is not None:
                    storage.close()
                raise IndexUnusable(failure(error, path)) from None
            damage = error
        if storage is not None:
            storage.close()
        if _put_in_place(path, judged) and damage is not None:
            rebuilt = str(damage)
    raise IndexUnusable(f"the index {path} kept changing while quibra opened it; try again")


def rebuild_damaged(storage: Storage, damage: sqlite3.DatabaseError) -> Storage:
    """Close `storage`, which SQLite found damaged, and open it again rebuilt
    empty, if it is still quibra's (NotQuibraIndex otherwise) and still the
    same file (else what another process put in its place)."""
    storage.close()
    path = storage.path
    state, judged = _state(path)
    if state == "foreign":
        raise NotQuibraIndex(f"{path} is not a quibra index; left untouched")
    replaced = (
        state == "ours"
        and judged is not None
        and storage.judged is not None
        and _same_file(judged, storage.judged)
        and _put_in_place(path, judged)
    )
    fresh = open_storage(path)
    if replaced:
        fresh.rebuilt = str(damage)
    return fresh
