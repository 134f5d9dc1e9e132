"""Telling, without listing a tree, that nothing in it changed: file-system events.

A long-lived server answers many calls; listing a large tree before each of
them costs more than the answer. A `TreeWatch` follows the tree's events
(watchdog's observer: inotify on Linux) and counts them. Before a call
answers from the index, `quiet()` says whether anything happened since the
last refresh began; only then may the refresh be left out.

Where the events tell which files changed (`pending()`), a refresh may
read just those; a folder made, moved or deleted, lost events, or more
paths than MOST_PATHS leave it to list the tree.

Events arrive a little after the change that caused them, so `quiet()`
first syncs: it writes a cookie file into a folder of the tree that the
watch follows (the index's own folder) and waits for the cookie's event.
The kernel queues events in order, so once the cookie is seen, every
change made before the call is seen too. Lost events (the kernel's queue
overflowed) count as a change; a watch that could not be set up or that
stopped (the inotify watch limit ran out while a folder was added) never
says quiet again, so the caller lists the tree as it would without one.
Nothing here reads a file of the tree; the refresh does.
"""

from __future__ import annotations

import itertools
import logging
import os
import threading
from pathlib import Path
from typing import Any

# How long a sync waits for its cookie before it gives up and lets the tree be listed.
SYNC_SECONDS = 2.0

COOKIE_PREFIX = ".quibra-cookie-"

# Events of reading: the refresh's own reads make them.
_READS = frozenset({"opened", "closed_no_write"})

# The most paths a watch keeps between two refreshes; past them it cannot
# tell which changed (a checkout of another branch touches thousands).
MOST_PATHS = 1000


# Where the observer tells of trouble it carries on after: a folder it could
# not watch (the inotify watch limit ran out), a queue that overflowed.
_OBSERVER_LOG = "watchdog.observers"
_OVERFLOW = "overflowed"


class _Trouble(logging.Handler):
    """Turns the observer's warnings into the watch's state: an overflow is a
    change, anything else (a folder left unwatched) ends the watch's say."""

    def __init__(self, watch: TreeWatch):
        super().__init__(logging.WARNING)
        self.watch = watch

    def emit(self, record: logging.LogRecord) -> None:
        message = record.getMessage()
        if _OVERFLOW in message and record.levelno < logging.ERROR:
            self.watch._lost()
        else:
            self.watch.failure = f"the observer said: {message}"


class WatchUnavailable(Exception):
    """The tree cannot be watched: no watchdog, no inotify, or a limit reached."""


class TreeWatch:
    """The events under `root`; cookies go into `cookies`, a folder inside it
    whose other events (the index being written) are not the tree's."""

    def __init__(self, root: Path, cookies: Path):
        try:
            from watchdog.events import FileSystemEvent, FileSystemEventHandler
            from watchdog.observers import Observer
        except ImportError as error:
            raise WatchUnavailable(f"watchdog is not installed ({error})") from None
        self.root = root
        self.cookies = cookies
        self._lock = threading.Lock()
        self._changes = 0  # events of the tree seen so far
        self._refreshed = -1  # the count when the last completed refresh began: none yet
        self._paths: dict[str, int] = {}  # each file changed since, relative to the root, with its last event's count
        self._unsure = 0  # the count at the last event that does not tell which files changed
        self._root_text = os.fspath(root) + os.sep
        self._seen_cookies: set[str] = set()
        self._arrived = threading.Condition(self._lock)
        self._numbers = itertools.count()
        self.failure: str | None = None
        self._trouble = _Trouble(self)
        logging.getLogger(_OBSERVER_LOG).addHandler(self._trouble)
        watch = self

        class Handler(FileSystemEventHandler):
            def on_any_event(self, event: FileSystemEvent) -> None:
                watch._event(
                    event.event_type,
                    os.fsdecode(event.src_path),
                    os.fsdecode(event.dest_path or b""),
                    event.is_directory,
                )

        self._observer: Any = Observer()
        try:
            self._observer.schedule(Handler(), os.fspath(root), recursive=True)
            self._observer.start()
        except (OSError, RuntimeError) as error:
            self.close()
            raise WatchUnavailable(f"the tree cannot be watched: {error}") from None

    def _event(self, kind: str, path: str, destination: str, folder: bool = False) -> None:
        if kind in _READS:
            return
        with self._lock:
            for place in (path, destination):
                if not place:
                    continue
                name = os.path.basename(place)
                if os.path.dirname(place) == os.fspath(self.cookies) and name.startswith(COOKIE_PREFIX):
                    self._seen_cookies.add(name)
                    self._arrived.notify_all()
                elif kind == "events_lost" or not _within(place, self.cookies):
                    self._changes += 1
                    if folder and kind == "modified":
                        continue  # an entry of it came or went: that entry has an event of its own
                    if kind == "events_lost" or folder or not place.startswith(self._root_text):
                        self._unsure = self._changes
                    elif len(self._paths) < MOST_PATHS:
                        self._paths[place[len(self._root_text) :]] = self._changes
                    else:
                        self._unsure = self._changes

    def _lost(self) -> None:
        with self._lock:
            self._changes += 1
            self._unsure = self._changes

    @property
    def alive(self) -> bool:
        """Whether events still come: the observer and every emitter run."""
        observer = self._observer
        return bool(observer.is_alive() and all(emitter.is_alive() for emitter in observer.emitters))

    def _sync(self) -> bool:
        """Whether every event of a change made before this call has arrived."""
        name = f"{COOKIE_PREFIX}{os.getpid()}-{next(self._numbers)}"
        cookie = self.cookies / name
        try:
            descriptor = os.open(cookie, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o600)
        except OSError as error:
            self.failure = f"no cookie can be written in {self.cookies}: {error.strerror or error}"
            return False
        os.close(descriptor)
        try:
            with self._lock:
                arrived = self._arrived.wait_for(lambda: name in self._seen_cookies, timeout=SYNC_SECONDS)
                self._seen_cookies.discard(name)
        finally:
            try:
                os.unlink(cookie)
            except OSError:
                pass
        return arrived

    def quiet(self) -> bool:
        """Whether the tree is as the last completed refresh found it, as far
        as its events tell; False whenever they cannot tell."""
        found = self.pending()
        return found is not None and not found[1]

    def pending(self) -> tuple[int, list[str]] | None:
        """What changed since the last completed refresh began, as far as the
        events tell: the mark for a refresh that starts now, and the paths
        (relative to the root, sorted) of the entries changed since; None
        when they cannot tell which."""
        if self.failure is not None or not self.alive:
            return None
        if not self._sync():
            return None
        with self._lock:
            if self._refreshed < 0 or self._unsure > self._refreshed:
                return None
            return self._changes, sorted(path for path, count in self._paths.items() if count > self._refreshed)

    def mark(self) -> int:
        """Taken before a refresh starts: what it will have seen."""
        with self._lock:
            return self._changes

    def refreshed(self, mark: int) -> None:
        """A refresh that started at `mark` is done: changes after it are still to be seen."""
        with self._lock:
            self._refreshed = max(self._refreshed, mark)
            self._paths = {path: count for path, count in self._paths.items() if count > self._refreshed}

    def state(self) -> str:
        if self.failure is not None:
            return f"stopped: {self.failure}"
        return "running" if self.alive else "stopped: the observer ended (an inotify limit may have been reached)"

    def close(self) -> None:
        logging.getLogger(_OBSERVER_LOG).removeHandler(self._trouble)
        self._observer.stop()
        if self._observer.is_alive():
            self._observer.join(timeout=5)


def _within(path: str, folder: Path) -> bool:
    folder_text = os.fspath(folder)
    return path == folder_text or path.startswith(folder_text + os.sep)
