"""The `quibra` command on a real terminal: the installed command run on a
pseudo-terminal of a set size, and through pipes, as a user runs it.

What is checked is what a user sees: every line fits the width, colour shows
on a terminal only, paths open from the folder the command was typed in,
and Ctrl-C ends a run with one clean line.
"""

from __future__ import annotations

import fcntl
import os
import re
import shutil
import signal
import struct
import subprocess
import termios
import threading
import time
from dataclasses import dataclass

import pytest
from helpers import STDLIB, _command, commit_all, needs_git, quibra, quibra_json, write_tree
from quibra.interfaces.table import cut_middle, cut_start

pytestmark = pytest.mark.skipif(not hasattr(os, "openpty"), reason="needs a pseudo-terminal")

ESCAPE = re.compile(r"\x1b\[[0-9;]*[A-Za-z]")
LONG_NAME = "AbstractBasicAuthenticationHandler.retry_http_basic_authentication_after_a_challenge"


@dataclass
class Run:
    returncode: int
    screen: str  # what the terminal shows: standard output, line endings as "\n"
    stderr: str


def _drain(descriptor: int, into: bytearray) -> None:
    while True:
        try:
            chunk = os.read(descriptor, 65536)
        except OSError:  # Linux reports the end of a pseudo-terminal's output as an error
            return
        if not chunk:
            return
        into.extend(chunk)


def _terminal(columns: int) -> tuple[int, int]:
    parent, child = os.openpty()
    fcntl.ioctl(child, termios.TIOCSWINSZ, struct.pack("HHHH", 50, columns, 0, 0))
    return parent, child


def on_terminal(*args, columns: int, cwd=None, env=None, expect=0) -> Run:
    """Run the command with its standard output on a terminal `columns` wide
    and its standard error on a pipe."""
    command, environment = _command()
    environment.pop("COLUMNS", None)
    environment.pop("NO_COLOR", None)
    environment.update(env or {})
    parent, child = _terminal(columns)
    shown = bytearray()
    reader = threading.Thread(target=_drain, args=(parent, shown))
    reader.start()
    try:
        completed = subprocess.run(
            [*command, *map(str, args)], cwd=cwd, env=environment, stdout=child, stderr=subprocess.PIPE, timeout=300
        )
    finally:
        os.close(child)
        reader.join()
        os.close(parent)
    stderr = completed.stderr.decode()
    assert completed.returncode == expect, stderr
    assert "Traceback" not in stderr
    return Run(completed.returncode, shown.decode().replace("\r\n", "\n"), stderr)


def visible(text: str) -> str:
    return ESCAPE.sub("", text)


def widest_line(text: str) -> int:
    return max(len(visible(line)) for line in text.splitlines())


@pytest.fixture(scope="module")
def wide_tree(tmp_path_factory):
    """The standard library's email package and a class with a very long qualified name, under a subfolder."""
    root = tmp_path_factory.mktemp("terminal") / "project"
    shutil.copytree(STDLIB / "email", root / "email", ignore=shutil.ignore_patterns("__pycache__"))
    write_tree(
        root,
        {
            "auth/handlers.py": '''
                class AbstractBasicAuthenticationHandler:
                    """Answers an HTTP basic authentication challenge."""

                    def retry_http_basic_authentication_after_a_challenge(self, host, request, realm):
                        """Retry the request with basic authentication after the server's challenge."""
                        if realm and host:
                            return request
                        return None
            ''',
        },
    )
    quibra("index", root)
    return root


QUERY = ("--query", "retry http basic authentication after a challenge, parse message headers")
CHANNEL_COLUMNS = ("lexical", "identity", "structural")


@pytest.mark.parametrize(
    ("columns", "environment", "width"),
    [(80, {}, 80), (200, {}, 200), (200, {"COLUMNS": "80"}, 80), (80, {"COLUMNS": "200"}, 200)],
    ids=["80", "200", "COLUMNS=80 on 200", "COLUMNS=200 on 80"],
)
def test_rank_table_fits_the_terminal(wide_tree, columns, environment, width):
    run = on_terminal("rank", *QUERY, columns=columns, env=environment, cwd=wide_tree)
    assert widest_line(run.screen) <= width
    header = visible(run.screen.splitlines()[0]).split()
    rows = [visible(line) for line in run.screen.splitlines()[1:-1]]
    assert len(rows) > 3 and all(re.match(r"^\s*\d+\s", row) for row in rows)
    if width == 80:
        assert not set(CHANNEL_COLUMNS) & set(header)  # dropped rather than wrapped
        assert header[:3] == ["#", "symbol", "file:line"] and header[-1] == "tokens"
    else:
        assert set(CHANNEL_COLUMNS) <= set(header)
        assert LONG_NAME in run.screen  # never cut where there is room


@needs_git
def test_hotspots_table_fits_80_columns(wide_tree, tmp_path):
    root = tmp_path / "email"
    shutil.copytree(wide_tree / "email", root)
    commit_all(root)
    run = on_terminal("hotspots", "--top", "30", columns=80, cwd=root)
    lines = run.screen.splitlines()
    assert widest_line(run.screen) <= 80 and len(lines) == 32  # header, 30 rows, summary
    # Every row ends in its own score: nothing of one row spills onto the next.
    assert all(re.search(r"\d+\.\d{4}$", visible(line)) for line in lines[1:-1])


def test_pipe_gets_every_column_full_names_and_no_colour(wide_tree):
    output = quibra("rank", *QUERY, "--color", "auto", cwd=wide_tree).stdout
    assert "\x1b" not in output
    assert set(CHANNEL_COLUMNS) <= set(output.splitlines()[0].split())
    assert LONG_NAME in output


@pytest.mark.parametrize(
    ("where", "args", "environment", "coloured"),
    [
        ("terminal", [], {}, True),
        ("terminal", [], {"NO_COLOR": "1"}, False),
        ("terminal", [], {"NO_COLOR": ""}, True),  # set but empty does not count
        ("terminal", ["--color", "never"], {}, False),
        ("terminal", [], {"TERM": "dumb"}, False),
        ("pipe", ["--color", "always"], {}, True),
    ],
)
def test_colour_only_where_it_belongs(wide_tree, where, args, environment, coloured):
    if where == "terminal":
        output = on_terminal("rank", wide_tree, *QUERY, *args, columns=120, env=environment).screen
    else:
        output = quibra("rank", wide_tree, *QUERY, *args).stdout
    assert ("\x1b[" in output) == coloured
    if coloured:
        assert "\x1b[35m" in output  # file:line, as grep-like tools colour paths


# ---------------------------------------------------------------------------
# Names in other scripts

# The columns a terminal gives the letters of the names below: each CJK
# ideograph two, each Thai vowel sign or tone mark none (it is drawn on the
# letter before it), every other character one.
WIDE_LETTERS = set("请求头解析器全部字段模块")
ZERO_WIDTH_MARKS = set("\u0e31\u0e34\u0e49\u0e4c")
CJK_NAME = "解析请求头"
THAI_NAME = "แยกวิเคราะห์หัวข้อ"  # "parse the headers": four of its characters are marks over a letter
CJK_METHOD = "请求头解析器.解析全部请求头字段"


def columns_of(text: str) -> int:
    return sum(2 if char in WIDE_LETTERS else 0 if char in ZERO_WIDTH_MARKS else 1 for char in visible(text))


@pytest.fixture(scope="module")
def script_tree(tmp_path_factory):
    """Python functions named in Chinese and in Thai (both are identifiers), in a folder named in Chinese."""
    root = tmp_path_factory.mktemp("scripts")
    write_tree(
        root,
        {
            "模块/解析.py": f'''
                def {CJK_NAME}(text):
                    """Parse the request headers of an HTTP message."""
                    return text.split("\\n")

                def {THAI_NAME}(text):
                    """Parse the request headers of a mail message."""
                    return text.split("\\n")

                class 请求头解析器:
                    def 解析全部请求头字段(self, text):
                        """Parse every field of the request headers."""
                        return text.split("\\n")

                def parse_request_headers(text):
                    """Parse the request headers."""
                    return text
            ''',
        },
    )
    return root


@pytest.mark.parametrize("width", [200, 60])
def test_table_of_names_in_other_scripts_lines_up(script_tree, width):
    run = on_terminal("rank", "--query", "parse request headers", columns=width, cwd=script_tree)
    header, *lines = run.screen.splitlines()
    rows = [line for line in lines if re.match(r"\s*\d+  \S", visible(line))]  # not the summary
    assert len(rows) == 4 and all(columns_of(line) <= width for line in run.screen.splitlines())
    if width == 200:
        assert all(name in run.screen for name in (CJK_NAME, THAI_NAME, CJK_METHOD, "模块/解析.py:"))
    else:
        assert CJK_METHOD not in run.screen and re.search("请求头.*….*字段", run.screen)  # cut in its middle
    # Every cell starts where its header starts (or, right-aligned, ends where
    # it ends): the file column under "file:line", the last one under "tokens".
    place = columns_of(visible(header)[: visible(header).index("file:line")])
    for row in rows:
        found = re.match(r"\s*\d+  (\S+)\s+(\S+:\d+)  ", visible(row))
        assert found, row
        assert columns_of(visible(row)[: found.start(2)]) == place, row
        assert columns_of(row) == columns_of(header), row



def test_a_cut_name_keeps_each_letter_with_its_marks():
    # Five "é", each written as "e" and a combining accent: a cut falls between
    # letters, never between a letter and its accent (which the ellipsis would wear).
    accented = "e\u0301" * 5
    assert cut_start(accented, 3, "…") == "…" + "e\u0301" * 2
    assert cut_middle(accented, 3, "…") == "e\u0301…e\u0301"


# ---------------------------------------------------------------------------
# Paths a user can open


def _opens(cwd, shown: str) -> bool:
    return (cwd / shown).is_file() if not os.path.isabs(shown) else os.path.isfile(shown)


@pytest.mark.parametrize("typed", ["..", "../../project", "absolute"])
def test_paths_open_from_where_the_command_was_typed(wide_tree, typed):
    cwd = wide_tree / "auth"
    tree = str(wide_tree) if typed == "absolute" else typed
    report = quibra_json("rank", tree, *QUERY, cwd=cwd)
    for entry in report["results"]:
        assert _opens(cwd, entry["file"]) and (wide_tree / entry["path"]).is_file()
        assert os.path.isabs(entry["file"]) == (typed == "absolute")
    table = on_terminal("rank", tree, *QUERY, columns=200, cwd=cwd).screen
    places = re.findall(r"(\S+):(\d+)\s", visible(table))
    assert places and all(_opens(cwd, shown) for shown, _line in places)


@needs_git
def test_skipped_files_and_hotspots_name_paths_from_the_current_folder(tmp_path):
    root = tmp_path / "tree"
    write_tree(
        root,
        {
            "pkg/broken.py": "def oops(:\n",
            "pkg/work.py": "def work(a):\n    if a:\n        return 1\n    return 2\n",
        },
    )
    commit_all(root)
    verbose = quibra("rank", "tree", "--query", "work", "--verbose", cwd=tmp_path)
    assert "quibra: skipped: tree/pkg/broken.py (" in verbose.stderr
    report = quibra_json("hotspots", "tree", cwd=tmp_path)
    assert [(entry["path"], entry["file"]) for entry in report["results"]] == [("pkg/work.py", "tree/pkg/work.py")]
    assert [(entry["path"], entry["file"]) for entry in report["skipped"]] == [
        ("pkg/broken.py", "tree/pkg/broken.py")
    ]
    hashed = quibra_json("hash", "tree", "--manifest", tmp_path / "m.json", cwd=tmp_path)
    assert hashed["file_prefix"] == "tree/"
    (root / "pkg" / "work.py").write_text("def work():\n    return 3\n")
    assert "changed  tree/pkg/work.py" in quibra("hash", "tree", "--manifest", tmp_path / "m.json", cwd=tmp_path).stdout


# ---------------------------------------------------------------------------
# Ctrl-C


def _render(raw: bytes) -> list[str]:
    """The lines a terminal shows for `raw`: carriage returns go back to the
    first column and ESC [K clears the rest of the line."""
    lines = [""]
    column = 0
    for token in re.split(rb"(\r|\n|\x1b\[K)", raw):
        if token == b"\n":
            lines.append("")
            column = 0
        elif token == b"\r":
            column = 0
        elif token == b"\x1b[K":
            lines[-1] = lines[-1][:column]
        elif token:
            text = token.decode("utf-8", "replace")
            lines[-1] = lines[-1][:column] + text + lines[-1][column + len(text) :]
            column += len(text)
    return [line.rstrip() for line in lines if line.strip()]


@pytest.fixture(scope="module")
def slow_tree(tmp_path_factory):
    root = tmp_path_factory.mktemp("slow")
    source = (STDLIB / "_pydecimal.py").read_bytes()
    for copy in range(40):
        (root / f"decimal_{copy}.py").write_bytes(source)
    return root


@pytest.mark.parametrize("seconds", [0.1, 0.3, 2.0])
def test_ctrl_c_ends_a_run_with_one_clean_line(slow_tree, tmp_path, seconds):
    """Ctrl-C typed on the terminal: while the command starts (building its
    parser, loading its modules) and while the progress bar is drawn."""
    command, environment = _command()
    parent, child = _terminal(100)
    shown = bytearray()
    reader = threading.Thread(target=_drain, args=(parent, shown))

    def controlling_terminal() -> None:
        fcntl.ioctl(0, termios.TIOCSCTTY, 0)

    try:
        # The reader starts after the fork: a child forked beside a running
        # thread must not run Python code (preexec_fn) that may need its locks.
        process = subprocess.Popen(
            [*command, "index", str(slow_tree), "--index", str(tmp_path / "index"), "--jobs", "1"],
            env=environment,
            stdin=child,
            stdout=child,
            stderr=child,
            start_new_session=True,
            preexec_fn=controlling_terminal,
        )
        reader.start()
        time.sleep(seconds)
        os.write(parent, b"\x03")  # the terminal turns it into SIGINT and echoes ^C
        returncode = process.wait(timeout=120)
    finally:
        os.close(child)
        if reader.ident is not None:
            reader.join()
        os.close(parent)
    assert returncode == 130 and b"Traceback" not in shown
    assert _render(bytes(shown))[-1] in ("quibra: interrupted", "quibra index: interrupted")


def test_interrupted_through_a_pipe_is_one_line(slow_tree, tmp_path):
    command, environment = _command()
    process = subprocess.Popen(
        [*command, "index", str(slow_tree), "--index", str(tmp_path / "index"), "--jobs", "1"],
        env=environment,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    time.sleep(1.0)
    process.send_signal(signal.SIGINT)
    out, err = process.communicate(timeout=120)
    assert process.returncode == 130 and out == b""
    assert err in (b"quibra: interrupted\n", b"quibra index: interrupted\n")


def test_progress_bar_only_on_a_terminal(slow_tree, tmp_path):
    # Forty copies of a large module take well over the bar's half-second delay to read.
    command, environment = _command()
    parent, child = _terminal(100)
    shown = bytearray()
    # Drain the terminal while the command runs: a full terminal buffer would block it.
    reader = threading.Thread(target=_drain, args=(parent, shown))
    reader.start()
    try:
        completed = subprocess.run(
            [*command, "index", str(slow_tree), "--index", str(tmp_path / "index"), "--jobs", "1"],
            env=environment,
            stdout=subprocess.PIPE,
            stderr=child,
            timeout=600,
        )
    finally:
        os.close(child)
        reader.join()
        os.close(parent)
    assert completed.returncode == 0
    assert b"indexing [" in shown and b"Traceback" not in shown
    assert _render(bytes(shown)) == []  # the bar erased itself
    assert b"\r" not in completed.stdout  # the table itself carries no bar


def test_context_on_a_terminal_shows_escape_sequences_instead_of_obeying_them(tmp_path):
    hostile = 'def parse_title(text):\n    return "\x1b]0;owned\x07\x1b[2J" + text  # \u202e\n'
    write_tree(tmp_path, {"title.py": hostile})
    shown = on_terminal("rank", tmp_path, "--query", "parse title", "--context", columns=100).screen
    assert "\x1b" not in shown and "\x07" not in shown and "\u202e" not in shown
    assert '"\\x1b]0;owned\\x07\\x1b[2J"' in shown and "\\u202e" in shown
    # Through a pipe the text is exactly what the budget counted.
    piped = quibra("rank", tmp_path, "--query", "parse title", "--context").stdout
    assert hostile.rstrip("\n") in piped
