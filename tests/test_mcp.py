"""The MCP server, started as `quibra mcp` in its own process and driven by the
SDK's own client over standard input and output, on copies of standard-library
packages: every tool answers from the tree as it is now, and every bad call
is a tool error after which the server still answers."""

from __future__ import annotations

import contextlib
import json
import os
import pathlib
import select
import shutil
import sqlite3
import subprocess
import sys
import time
from collections.abc import AsyncIterator, Awaitable, Callable
from typing import Any

import pytest
from helpers import STDLIB, _command, commit_all, quibra, quibra_json, stored_references

import quibra as api
from quibra.interfaces.api import BUILDING_NOTE, STALE_IMPORTANCE

anyio = pytest.importorskip("anyio")
mcp = pytest.importorskip("mcp")
from mcp import ClientSession, StdioServerParameters  # noqa: E402
from mcp.client.stdio import stdio_client  # noqa: E402

# The host's tests: the sanitizer build of the engine skips them (tools/sanitize).
pytestmark = pytest.mark.host

TOOLS = {"search_code", "search_files", "repo_map", "hotspots", "changed_files", "symbol_source", "find_references", "call_graph"}
CHANNELS = {"lexical", "body", "identity", "structural"}


def _server_command(root: pathlib.Path, *options: str) -> tuple[list[str], dict[str, str]]:
    command, environment = _command()
    return [*command, "mcp", str(root), *options], environment


@contextlib.asynccontextmanager
async def _connected(root: pathlib.Path, errlog: Any, *options: str) -> AsyncIterator[ClientSession]:
    command, environment = _server_command(root, *options)
    parameters = StdioServerParameters(command=command[0], args=command[1:], env=environment)
    async with stdio_client(parameters, errlog=errlog) as (read, write):
        async with ClientSession(read, write) as session:
            await session.initialize()
            yield session


def drive(
    root: pathlib.Path, log: pathlib.Path, scenario: Callable[[ClientSession], Awaitable[None]], *options: str
) -> None:
    """Run `scenario` against a server on `root` started with `options`; the server must log no traceback."""

    async def main() -> None:
        with anyio.fail_after(300), open(log, "w") as errlog:
            async with _connected(root, errlog, *options) as session:
                await scenario(session)

    anyio.run(main)
    assert "Traceback" not in log.read_text()


async def answer(session: ClientSession, tool: str, **arguments: Any) -> dict[str, Any]:
    """The structured answer of a call that must succeed."""
    result = await session.call_tool(tool, arguments)
    assert not result.is_error, result.content
    assert result.structured_content is not None
    return result.structured_content


def printed_tokens(text: str) -> int:
    return sum(-(-(len(line) + 1) // 4) for line in text.splitlines())


def file_lines(root: pathlib.Path, path: str, start: int, end: int) -> str:
    return "\n".join(pathlib.Path(root, path).read_text().split("\n")[start - 1 : end])


def _copy(package: str, into: pathlib.Path) -> pathlib.Path:
    """A standard-library package, copied: the index goes beside the copy, never into the interpreter."""
    root = into / package
    shutil.copytree(STDLIB / package, root, ignore=shutil.ignore_patterns("__pycache__"))
    return root


@pytest.fixture(scope="module")
def email_tree(tmp_path_factory) -> pathlib.Path:
    root = _copy("email", tmp_path_factory.mktemp("mcp"))
    commit_all(root)  # hotspots score the history of the files
    quibra("index", root)
    return root


def test_tools_are_listed_with_descriptions_and_argument_schemas(email_tree, tmp_path):
    async def scenario(session: ClientSession) -> None:
        tools = {tool.name: tool for tool in (await session.list_tools()).tools}
        assert set(tools) == TOOLS
        for tool in tools.values():
            assert tool.description and not tool.description.startswith(" ")
            assert tool.input_schema["type"] == "object"
        search = tools["search_code"].input_schema
        assert search["required"] == ["query"]
        assert search["properties"]["budget"]["minimum"] == 1 and search["properties"]["budget"]["maximum"] > 10**5
        assert tools["repo_map"].input_schema["properties"]["focus"]["items"]["type"] == "string"
        assert tools["symbol_source"].input_schema["required"] == ["symbol_id"]
        assert tools["changed_files"].input_schema.get("properties", {}) == {}

    drive(email_tree, tmp_path / "server.log", scenario)


def test_every_tool_answers_from_the_tree(email_tree, tmp_path):
    async def scenario(session: ClientSession) -> None:
        found = await answer(session, "search_code", query="parse the headers of a message", budget=1500)
        assert found["results"] and found["total_tokens"] <= 1500
        for result in found["results"]:
            # Why it was chosen: its rank in each channel, the fused score and the packed one.
            assert set(result["channel_ranks"]) == CHANNELS and any(result["channel_ranks"].values())
            assert 0 < result["adjusted_score"] <= result["score"]
            # The text the budget counted: all of a function, the head of a class.
            assert result["source"] == file_lines(email_tree, result["path"], *result["context_lines"])
            shown = await session.call_tool("symbol_source", {"symbol_id": result["symbol_id"]})
            whole = file_lines(email_tree, result["path"], result["start_line"], result["end_line"])
            assert shown.content[0].text == whole and whole.startswith(result["source"])

        files = await answer(session, "search_files", query="parse the headers of a message", top=4)
        assert 1 <= len(files["results"]) <= 4
        best = {result["path"] for result in found["results"][:3]}
        assert files["results"][0]["path"] in best
        for entry in files["results"]:
            for symbol in entry["symbols"]:
                assert symbol["symbol_id"].startswith(entry["path"] + ":")

        mapped = await session.call_tool("repo_map", {"budget": 600})
        text = mapped.content[0].text
        assert text == mapped.structured_content["map"]
        assert 0.98 * 600 <= printed_tokens(text) == mapped.structured_content["total_tokens"] <= 600
        assert (await session.call_tool("repo_map", {"budget": 600})).content[0].text == text
        first = mapped.structured_content["outline"][0]["symbols"][0]
        shown = await answer(session, "symbol_source", symbol_id=first["symbol_id"])
        assert shown["signature"] in first["text"] and shown["line"] == first["line"]

        spots = await answer(session, "hotspots", top=3)
        assert len(spots["results"]) == 3 and spots["git"]
        assert all(spot["cyclomatic"] >= 2 and spot["churn"] == 1 for spot in spots["results"])

        changes = await answer(session, "changed_files")
        assert changes["first_call"] and changes["files"] == len(list(email_tree.rglob("*.py")))
        assert changes["added"] == changes["changed"] == changes["removed"] == []

    drive(email_tree, tmp_path / "server.log", scenario)


def test_edits_between_calls_show_in_changed_files_and_search(tmp_path):
    root = _copy("json", tmp_path)
    added = "\n\ndef frobnicate_widgets(widgets):\n    return [widget for widget in widgets if widget]\n"

    async def scenario(session: ClientSession) -> None:
        assert (await answer(session, "changed_files"))["first_call"]
        missing = await answer(session, "search_code", query="frobnicate widgets", budget=300)
        assert all("frobnicate" not in result["symbol"] for result in missing["results"])

        with open(root / "decoder.py", "a") as stream:
            stream.write(added)
        (root / "extra.py").write_text("def quux_helper():\n    return 1\n")
        (root / "tool.py").unlink()
        os.utime(root / "encoder.py")  # saved again, unchanged

        changes = await answer(session, "changed_files")
        assert not changes["first_call"]
        assert (changes["changed"], changes["added"], changes["removed"]) == (["decoder.py"], ["extra.py"], ["tool.py"])
        found = await answer(session, "search_code", query="frobnicate widgets", budget=300)
        top = found["results"][0]
        assert top["symbol_id"] == "decoder.py:frobnicate_widgets" and top["source"] == added.strip("\n")
        shown = await session.call_tool("symbol_source", {"symbol_id": "decoder.py:frobnicate_widgets"})
        assert shown.content[0].text == added.strip("\n")
        assert (await session.call_tool("symbol_source", {"symbol_id": "tool.py:main"})).is_error

        quiet = await answer(session, "changed_files")
        assert quiet["added"] == quiet["changed"] == quiet["removed"] == []

    drive(root, tmp_path / "server.log", scenario)


def test_an_edit_is_answered_at_once_and_the_map_settles_to_a_fresh_build(tmp_path):
    from test_refs import _importance

    root = _copy("json", tmp_path)

    async def settled_map(session: ClientSession) -> dict[str, Any]:
        # The symbols' importance is ranked again on a thread of the server's own.
        for _attempt in range(1200):
            shown = await answer(session, "repo_map", budget=400)
            if STALE_IMPORTANCE not in shown["warnings"]:
                return shown
            await anyio.sleep(0.1)
        raise AssertionError("the symbols' importance never settled")

    async def scenario(session: ClientSession) -> None:
        await settled_map(session)
        decoder = root / "decoder.py"
        decoder.write_text(decoder.read_text().replace("def py_scanstring(", "def py_scanstring_renamed("))
        found = await answer(session, "search_code", query="py_scanstring_renamed", budget=3000)
        assert found["results"][0]["symbol_id"] == "decoder.py:py_scanstring_renamed"
        await settled_map(session)

    drive(root, tmp_path / "server.log", scenario)
    with api.Index(root, jobs=1) as served:
        served_file = served.index_path
    with api.Index(root, index_file=tmp_path / "fresh.sqlite", jobs=1) as fresh:
        fresh.refresh()
    assert _importance(served_file) == _importance(tmp_path / "fresh.sqlite")


# Enough of the standard library that one worker takes seconds to read it all.
LARGE_TREE = (
    "asyncio", "email", "idlelib", "xmlrpc", "wsgiref", "sqlite3", "curses", "pydoc_data", "tkinter", "unittest",
    "xml", "multiprocessing", "importlib", "ctypes", "urllib", "http", "json", "logging", "test/test_asyncio",
    "test/test_email",
)


def _large_tree(into: pathlib.Path) -> pathlib.Path:
    root = into / "large"
    for package in LARGE_TREE:
        shutil.copytree(STDLIB / package, root / package, ignore=shutil.ignore_patterns("__pycache__"))
    return root


def _building(warnings: list[str]) -> bool:
    return any("is being built" in warning or "is being refreshed" in warning for warning in warnings)


def test_calls_during_a_first_build_answer_from_the_files_indexed_so_far(tmp_path):
    from test_refs import _importance

    root = _large_tree(tmp_path)
    index_file = tmp_path / "served.sqlite"
    reported: list[tuple[float, float | None]] = []

    async def progress(done: float, total: float | None, message: str | None) -> None:
        reported.append((done, total))

    async def scenario(session: ClientSession) -> None:
        # The server starts the build before the first call: that call waits
        # a little, then answers from what is indexed so far, and says so.
        early = await session.call_tool("search_code", {"query": "parse an email header", "budget": 800})
        assert not early.is_error and _building(early.structured_content["warnings"])
        # On a fast machine the build may be over by the next call: the first
        # answer counts among those that came during it.
        answers = [early.structured_content]
        for _attempt in range(1200):
            result = await session.call_tool(
                "search_code", {"query": "parse an email header", "budget": 800}, progress_callback=progress
            )
            assert not result.is_error, result.content
            answers.append(result.structured_content)
            if not _building(answers[-1]["warnings"]) and STALE_IMPORTANCE not in (
                await answer(session, "repo_map", budget=300)
            )["warnings"]:
                break
        else:
            raise AssertionError("the first build never ended")
        assert any(
            _building(shown["warnings"]) and "is being built" in " ".join(shown["warnings"]) and shown["results"]
            for shown in answers
        ), "no answer came from a part of the index"
        assert answers[-1]["results"][0]["symbol_id"].startswith("email/")

    drive(root, tmp_path / "server.log", scenario, "--jobs", "1", "--index", str(index_file))
    # The build said how far it was, in the steps it read the files in.
    assert reported and all(total is not None and done <= total for done, total in reported)
    assert [done for done, _total in reported] == sorted(done for done, _total in reported)
    fresh_file = tmp_path / "fresh.sqlite"
    with api.Index(root, index_file=fresh_file, jobs=1) as fresh:
        fresh.refresh()
    assert stored_references(index_file) == stored_references(fresh_file)
    assert _importance(index_file) == _importance(fresh_file)


def test_a_first_build_killed_halfway_is_built_again_by_the_next_refresh(tmp_path):
    root = _large_tree(tmp_path)
    index_file = tmp_path / "served.sqlite"
    command, environment = _server_command(root, "--jobs", "1", "--index", str(index_file))
    server = subprocess.Popen(command, env=environment, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL)
    try:
        # No call at all: the server builds from the start.
        deadline = time.monotonic() + 120
        while True:
            assert time.monotonic() < deadline, "the server never committed a part of its build"
            if index_file.exists():
                with contextlib.closing(sqlite3.connect(f"file:{index_file}?mode=ro", uri=True)) as connection:
                    with contextlib.suppress(sqlite3.Error):
                        marked = connection.execute("SELECT count(*) FROM meta WHERE key = 'building'").fetchone()
                        files = connection.execute("SELECT count(*) FROM files").fetchone()
                        if marked == (1,) and files[0] > 0:
                            break
            time.sleep(0.05)
        # Another process answers from the part built so far, and says so.
        partial = quibra("rank", root, "-q", "parse an email header", "--index", index_file, "--no-refresh", "--json")
        assert BUILDING_NOTE in json.loads(partial.stdout)["warnings"]
        assert BUILDING_NOTE in partial.stderr
    finally:
        server.kill()
        server.wait()
    halfway = quibra("status", root, "--index", index_file, "--json")
    assert json.loads(halfway.stdout)["building"] and not json.loads(halfway.stdout)["fresh"]
    built = quibra_json("index", root, "--index", index_file, "--jobs", "1")
    assert BUILDING_NOTE not in built["warnings"]
    fresh_file = tmp_path / "fresh.sqlite"
    with api.Index(root, index_file=fresh_file, jobs=1) as fresh:
        fresh.refresh()
    assert stored_references(index_file) == stored_references(fresh_file)
    status = quibra_json("status", root, "--index", index_file)
    assert status["files"] == built["files"] and status["fresh"] and not status["building"]


BAD_CALLS = [
    ("search_code", {"query": "header", "budget": 0}, "budget"),
    ("search_code", {"query": "header", "budget": 10**12}, "budget"),
    ("search_code", {"query": "header", "budget": "lots"}, "budget"),
    ("search_code", {}, "query"),
    ("search_code", {"query": "   "}, "the query is empty"),
    ("search_files", {"query": "header", "top": 0}, "top"),
    ("search_files", {"query": ""}, "the query is empty"),
    ("repo_map", {"budget": 0}, "budget"),
    ("repo_map", {"focus": ["../outside.py"]}, "is outside the tree"),
    ("repo_map", {"focus": ["/etc/passwd"]}, "is outside the tree"),
    ("repo_map", {"focus": [17]}, "focus"),
    ("repo_map", {"focus": ["no_such_file.py"]}, "not a source file of the index: no_such_file.py"),
    ("symbol_source", {"symbol_id": "header.py:NoSuchThing"}, "no symbol"),
    ("symbol_source", {"symbol_id": "../../etc/passwd:root"}, "outside the tree"),
    ("symbol_source", {"symbol_id": "/etc/passwd:root"}, "outside the tree"),
    ("symbol_source", {}, "symbol_id"),
    ("hotspots", {"since": "the day before yesterday"}, "expected a date YYYY-MM-DD or a span"),
    ("hotspots", {"top": 0}, "top"),
    ("no_such_tool", {}, "no_such_tool"),
]


def test_bad_calls_are_tool_errors_and_the_server_goes_on(email_tree, tmp_path):
    async def scenario(session: ClientSession) -> None:
        for tool, arguments, expected in BAD_CALLS:
            result = await session.call_tool(tool, arguments)
            text = result.content[0].text
            assert result.is_error, (tool, arguments)
            assert expected in text and "\n" not in text, (tool, arguments, text)
            assert (await answer(session, "search_code", query="parse a header", budget=200))["results"]

    drive(email_tree, tmp_path / "server.log", scenario)


def _reply(process: subprocess.Popen[str], request_id: int, deadline: float) -> dict[str, Any]:
    """The server's answer to request `request_id`, read line by line."""
    assert process.stdout is not None
    while time.monotonic() < deadline:
        ready, _, _ = select.select([process.stdout], [], [], max(0.0, deadline - time.monotonic()))
        if not ready:
            break
        line = process.stdout.readline()
        assert line, "the server closed its output"
        message = json.loads(line)
        if message.get("id") == request_id:
            return dict(message)
    raise AssertionError(f"no answer to request {request_id}")


def test_malformed_messages_do_not_stop_the_server(email_tree):
    command, environment = _server_command(email_tree)
    process = subprocess.Popen(
        command, env=environment, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    )
    assert process.stdin is not None
    deadline = time.monotonic() + 120

    def send(message: object) -> None:
        assert process.stdin is not None
        process.stdin.write((message if isinstance(message, str) else json.dumps(message)) + "\n")
        process.stdin.flush()

    try:
        send({"jsonrpc": "2.0", "id": 1, "method": "initialize", "params": {
            "protocolVersion": "2025-11-25", "capabilities": {}, "clientInfo": {"name": "test", "version": "1"}}})
        assert "result" in _reply(process, 1, deadline)
        send({"jsonrpc": "2.0", "method": "notifications/initialized"})
        for garbage in ("this is not JSON {", "[]", '{"jsonrpc": "2.0", "id": 2, "method": "tools/call", "params": 7}',
                        '{"jsonrpc": "2.0", "id": 3, "method": "tools/call", "params": {"name": 5}}', "\x00\xff"):
            send(garbage)
        send({"jsonrpc": "2.0", "id": 4, "method": "tools/call",
              "params": {"name": "search_code", "arguments": {"query": "parse a header", "budget": 200}}})
        reply = _reply(process, 4, deadline)
        assert not reply["result"]["isError"] and reply["result"]["structuredContent"]["results"]
    finally:
        process.stdin.close()
        process.wait(timeout=30)
        assert process.stderr is not None
        errors = process.stderr.read()
        process.stderr.close()
        process.stdout.close()  # type: ignore[union-attr]
    assert process.returncode == 0 and "Traceback" not in errors


def test_without_the_mcp_package_the_command_says_how_to_install_it(tmp_path):
    command, environment = _command()
    # The package made unimportable in this one process, as if it were not installed.
    script = "import sys; sys.modules['mcp'] = None; from quibra.interfaces.cli.main import main; sys.exit(main(['mcp', sys.argv[1]]))"
    completed = subprocess.run(
        [sys.executable, "-c", script, str(tmp_path)], env=environment, capture_output=True, text=True, timeout=60
    )
    assert completed.returncode == 1 and completed.stdout == ""
    assert completed.stderr == (
        "quibra mcp: error: the MCP server needs the mcp package: pip install 'quibra-core[mcp]'\n"
    )


@pytest.mark.parametrize(
    "name, source, symbol_id, first_line",
    [
        ("odd:name.rs", "struct Foo;\n\nimpl Foo {\n    fn bar(&self) {}\n}\n", "odd:name.rs:Foo::bar", "fn bar"),
        ("a:b/c.py", "class C:\n    def d(self):\n        pass\n", "a:b/c.py:C.d", "def d"),
    ],
)
def test_symbol_ids_resolve_with_colons_in_paths_and_names(tmp_path, name, source, symbol_id, first_line):
    (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
    (tmp_path / name).write_text(source)
    with api.Index(tmp_path, index_file=tmp_path.parent / "index.sqlite") as index:
        shown = index.symbol_source(symbol_id)
    assert shown["symbol_id"] == symbol_id and shown["source"].strip().startswith(first_line)
