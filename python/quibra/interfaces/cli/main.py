"""The `quibra` command's entry point: `main`, its exit statuses, and Ctrl-C.

Every command builds a plain report (a dict) through the Python API and
then prints it either as a table for people or, with --json, as JSON for
scripts; the two views come from the same report, so they cannot disagree.
The parser is in `parser`, the output in `render`, and running a command
in `command`.

Ctrl-C ends the command with one line on standard error, never a
traceback, from the first line of `main` on: so this module imports almost
nothing at its top (not even argparse, which brings re, or typing; see
quibra/__init__.py), and `main` loads `command`, which brings the parser,
the API and everything they need, inside its own try. The moments before
are only the interpreter's start.
"""

from __future__ import annotations

import os
import sys

EXIT_FAILURE = 1
EXIT_NOTHING_FOUND = 1  # as grep-like tools: nothing listed is not an error, but scripts can tell
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130


def interrupted(prefix: str) -> int:
    """Say that `prefix` (the command) was interrupted, on one line; the exit status for it."""
    # The terminal has echoed "^C" where the cursor stood (after a progress
    # bar, say): start from the first column and clear the line.
    start = "\r\x1b[K" if sys.stderr.isatty() else ""
    print(f"{start}{prefix}: interrupted", file=sys.stderr)
    return EXIT_INTERRUPTED


def main(argv: list[str] | None = None) -> int:
    try:
        # File names need not be valid UTF-8; print them escaped rather than fail.
        for stream in (sys.stdout, sys.stderr):
            if hasattr(stream, "reconfigure"):  # absent when a caller swapped in another stream
                stream.reconfigure(errors="backslashreplace")
        # Here rather than at the top: a Ctrl-C while the command loads is caught below.
        from quibra.interfaces.cli.command import run_command

        return run_command(argv)
    except KeyboardInterrupt:
        return interrupted("quibra")
    except BrokenPipeError:
        # The reader (head, less) went away: nothing left to say. Point stdout
        # at /dev/null so the interpreter's final flush does not complain.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_FAILURE
