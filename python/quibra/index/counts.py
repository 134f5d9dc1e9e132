"""What a report counts of the index: the files and symbols of each language,
the files that gave no symbols (with why), and those read with bytes that
were not valid UTF-8 replaced.

On a large tree they take longer to count than a query takes to answer, and
they change only when the index is written. So they are kept as a note for
the state of the index they were counted in (`Storage.keep_note`), and a
write of a few files carries them over to the state it leaves, by what
those files gave before and after it: a server answering after each edit
of a large tree does not count them all again.
"""

from __future__ import annotations

import json
import os
from dataclasses import dataclass, field

from quibra.index import queries
from quibra.index.storage import Storage

NOTE = "counts"

# The most files whose counts a write carries over; past that, the next
# reader counts them all again, which then costs less than looking at each.
CARRIED_MOST = 10_000


@dataclass
class Counts:
    languages: dict[str, list[int]] = field(default_factory=dict)  # language: [files, symbols]
    skipped: dict[str, str] = field(default_factory=dict)  # path (as os.fsdecode gives it): why
    replaced: set[str] = field(default_factory=set)  # paths

    def language_rows(self) -> list[tuple[str, int, int]]:
        """(language, files, symbols) for each language with a file, by language."""
        return [(language, files, symbols) for language, (files, symbols) in sorted(self.languages.items()) if files]

    def skipped_rows(self) -> list[tuple[bytes, str]]:
        return sorted((os.fsencode(path), reason) for path, reason in self.skipped.items())

    def replaced_rows(self) -> list[bytes]:
        return sorted(os.fsencode(path) for path in self.replaced)

    def add(self, row: queries.FileCount, sign: int) -> None:
        """Count the file of `row` (sign 1), or stop counting it (sign -1)."""
        if row.skipped is not None:
            if sign > 0:
                self.skipped[row.path] = row.skipped
            else:
                self.skipped.pop(row.path, None)
            return
        if row.replaced:
            if sign > 0:
                self.replaced.add(row.path)
            else:
                self.replaced.discard(row.path)
        if row.language is not None:
            files_symbols = self.languages.setdefault(row.language, [0, 0])
            files_symbols[0] += sign
            files_symbols[1] += sign * row.symbols

    def dumps(self) -> str:
        return json.dumps([self.languages, self.skipped, sorted(self.replaced)])

    @classmethod
    def loads(cls, text: str) -> Counts | None:
        """The counts `dumps` gave; None for a text it cannot have given."""
        try:
            languages, skipped, replaced = json.loads(text)
            return cls(
                {str(language): [int(files), int(symbols)] for language, (files, symbols) in languages.items()},
                {str(path): str(reason) for path, reason in skipped.items()},
                {str(path) for path in replaced},
            )
        except (ValueError, TypeError, AttributeError):
            return None


def counted(storage: Storage) -> Counts:
    """The counts of the index as it is, from its note, else counted and noted."""
    noted = storage.note(NOTE)
    found = None if noted is None else Counts.loads(noted)
    if found is not None:
        return found
    state = storage.state()
    connection = storage.connection
    counts = Counts(
        {language: [files, symbols] for language, files, symbols in queries.language_counts(connection)},
        {os.fsdecode(path): reason for path, reason in queries.skipped_files(connection)},
        {os.fsdecode(path) for path in queries.replaced_files(connection)},
    )
    if state is not None:
        storage.keep_note(NOTE, counts.dumps(), state)
    return counts


class Carried:
    """Inside a write transaction that writes or drops the files at `paths`
    and no other: the counts noted for the state it began in, carried over
    to the state it leaves (`finish`, once those files are written)."""

    def __init__(self, storage: Storage, paths: list[str]):
        self.storage = storage
        self.paths = paths
        noted = storage.note(NOTE) if len(paths) <= CARRIED_MOST else None
        self.counts = None if noted is None else Counts.loads(noted)
        if self.counts is not None:
            for row in queries.file_counts_at(storage.connection, paths):
                self.counts.add(row, -1)

    def finish(self) -> None:
        if self.counts is None:
            return
        for row in queries.file_counts_at(self.storage.connection, self.paths):
            self.counts.add(row, 1)
        self.storage.note_written(NOTE, self.counts.dumps())
