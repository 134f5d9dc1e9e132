"""`quibra hash`: content hashes of a tree, and what changed since the last manifest.

The manifest is a small JSON file mapping each path to the engine's 16-digit
hash text. A host keeps one next to its index and re-indexes only the files
whose hash moved. Two rules protect it: a manifest that cannot be read or
does not have the expected shape is reported and left untouched (it may be
someone's only record), and a new manifest replaces the old one atomically,
so an interrupted run leaves either the old file or the new one, never half
of each.
"""

from __future__ import annotations

import json
import os
import re
import stat
import tempfile
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import _quibra_core as engine

from quibra.tree.files import TreeFolders
from quibra.tree.meter import MeterFactory, silent
from quibra.tree.walk import list_files

FORMAT_NAME = "quibra-manifest"
FORMAT_VERSION = 1
_HASH_TEXT = re.compile(r"^[0-9a-f]{16}$")

# Files go to the engine in batches of about this many bytes: one call per
# batch keeps the per-call cost low without holding a large tree in memory.
BATCH_BYTES = 16 * 1024 * 1024


class ManifestError(Exception):
    """The manifest cannot be read, has the wrong shape, or cannot be written."""


@dataclass(frozen=True)
class Changes:
    changed: list[str]
    added: list[str]
    removed: list[str]


def read_manifest(path: Path) -> dict[str, str] | None:
    """The path-to-hash map stored at `path`; None when there is no file yet."""
    try:
        text = path.read_text(encoding="utf-8")
    except FileNotFoundError:
        return None
    except (OSError, UnicodeDecodeError) as error:
        raise ManifestError(f"cannot read manifest {path}: {_reason(error)}") from None
    try:
        document = json.loads(text)
    except json.JSONDecodeError as error:
        raise ManifestError(
            f"manifest {path} is not valid JSON ({error.msg} at line {error.lineno}); left unchanged"
        ) from None
    return _hashes_of(document, path)


def _hashes_of(document: object, path: Path) -> dict[str, str]:
    if not isinstance(document, dict) or document.get("format") != FORMAT_NAME:
        raise ManifestError(f"{path} is not a quibra manifest; left unchanged")
    version = document.get("version")
    if version != FORMAT_VERSION:
        raise ManifestError(f"manifest {path} has version {version!r}, not {FORMAT_VERSION}; left unchanged")
    files = document.get("files")
    if not isinstance(files, dict) or not all(
        isinstance(name, str) and isinstance(value, str) and _HASH_TEXT.match(value)
        for name, value in files.items()
    ):
        raise ManifestError(f"manifest {path} has a malformed 'files' table; left unchanged")
    return files


def _reason(error: OSError | UnicodeDecodeError) -> str:
    return error.strerror if isinstance(error, OSError) and error.strerror else str(error)


def write_manifest(path: Path, hashes: dict[str, str]) -> None:
    """Replace the manifest at `path` in one step.

    The text goes to a temporary file in the same folder (so the final rename
    stays on one file system), is flushed to disk, and is then renamed over
    the old manifest.
    """
    document = {"format": FORMAT_NAME, "version": FORMAT_VERSION, "files": dict(sorted(hashes.items()))}
    text = json.dumps(document, indent=1) + "\n"
    folder = path.parent
    try:
        descriptor, temporary = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".tmp", dir=folder)
    except OSError as error:
        raise ManifestError(f"cannot write manifest {path}: {_reason(error)}") from None
    try:
        with os.fdopen(descriptor, "w", encoding="utf-8") as stream:
            stream.write(text)
            stream.flush()
            os.fsync(stream.fileno())
        # mkstemp makes the file private (0600); give it the old manifest's
        # mode, or the mode a newly created file would get.
        os.chmod(temporary, _mode_for(path))
        os.replace(temporary, path)
    except OSError as error:
        Path(temporary).unlink(missing_ok=True)
        raise ManifestError(f"cannot write manifest {path}: {_reason(error)}") from None


def _mode_for(path: Path) -> int:
    try:
        return path.stat().st_mode & 0o7777
    except OSError:
        umask = os.umask(0)
        os.umask(umask)
        return 0o666 & ~umask


def _identity(info: os.stat_result) -> tuple[int, int]:
    return info.st_dev, info.st_ino


def _identity_of(path: Path) -> tuple[int, int] | None:
    try:
        return _identity(path.stat())
    except OSError:
        return None  # not written yet


def compare(old: dict[str, str], new: dict[str, str]) -> Changes:
    return Changes(
        changed=sorted(path for path in new.keys() & old.keys() if new[path] != old[path]),
        added=sorted(new.keys() - old.keys()),
        removed=sorted(old.keys() - new.keys()),
    )


def hash_files(
    root: Path, paths: list[str], progress: MeterFactory = silent
) -> tuple[dict[str, str], list[str]]:
    """(hash text per path, paths that could not be read), in batches.

    A link is not read, as `index` reads none: it is counted unreadable."""
    hashes: dict[str, str] = {}
    unreadable: list[str] = []
    batch: list[tuple[str, bytes]] = []
    batch_size = 0
    with progress("hashing", len(paths)) as meter, TreeFolders(root) as folders:
        for path in paths:
            found = folders.read(path)
            try:
                path.encode("utf-8")  # the engine takes paths as UTF-8 text
            except UnicodeEncodeError:
                found = None
            if found is None:
                unreadable.append(path)
            else:
                batch.append((path, found[0]))
                batch_size += len(found[0])
            if batch_size >= BATCH_BYTES:
                hashes.update(engine.batch_content_hash(batch))
                batch, batch_size = [], 0
            meter.advance()
        hashes.update(engine.batch_content_hash(batch))
    return hashes, unreadable


def hash_tree(
    root: Path, manifest: Path, selected: Callable[[str], bool] | None = None, progress: MeterFactory = silent
) -> dict[str, Any]:
    """Hash every file of the tree, compare with the manifest, then update it.

    The manifest itself is left out when it lies inside the tree: its own
    hash changes on every run and would always be reported. With `selected`,
    only the paths it accepts are hashed and compared; the manifest keeps the
    entries of the others as they were.
    """
    old = read_manifest(manifest)
    tree = list_files(root)
    manifest_identity = _identity_of(manifest)
    paths = []
    with TreeFolders(tree.root) as folders:
        for path in tree.files:
            info = folders.lstat(path) if selected is None or selected(path) else None
            # Links go on to be counted unreadable; folders (a submodule), FIFOs
            # and devices are no files to hash.
            if info is not None and (stat.S_ISLNK(info.st_mode) or stat.S_ISREG(info.st_mode)):
                if _identity(info) != manifest_identity:
                    paths.append(path)
    hashes, unreadable = hash_files(tree.root, paths, progress)
    kept = {path: digest for path, digest in (old or {}).items() if selected is not None and not selected(path)}
    changes = compare({path: digest for path, digest in (old or {}).items() if path not in kept}, hashes)
    write_manifest(manifest, {**kept, **hashes})
    return {
        "command": "hash",
        "root": str(tree.root),
        "manifest": str(manifest),
        "new_manifest": old is None,
        "files": len(hashes),
        "changed": changes.changed,
        "added": changes.added if old is not None else [],
        "removed": changes.removed,
        "unreadable_files": unreadable,
    }
