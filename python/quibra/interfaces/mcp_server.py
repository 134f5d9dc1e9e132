"""`quibra mcp`: the index of one tree as tools for coding agents, over MCP on standard input and output.

Built on the MCP SDK's `MCPServer`: each tool is a typed function whose
docstring is the description an agent reads and whose annotations are its
arguments' JSON schema. Every call refreshes the index first (cheap when
nothing changed) and answers from it, through `quibra.Index`: an answer is
the report the command would print with --json, less what an agent does
not need in every answer. The SDK runs each call on a worker thread, and
calls answer side by side: each reads the index through a connection of its
own, while refreshes go one at a time (see `Session.run`). A failure comes
back as a tool error with a one-line message, and the server goes on with
the next call. The server refreshes the index as it starts, on a thread of
its own, and ranks the symbols' importance after an edit on another (see
`Session.start` and `Session._settle_later`): neither holds up a call.
"""

from __future__ import annotations

import contextlib
import inspect
import os
import threading
from collections.abc import Callable, Iterator
from typing import Annotated, Any, Literal, TypeVar

import anyio
from mcp.server import MCPServer
from mcp.server.mcpserver.context import Context
from mcp.server.mcpserver.exceptions import ToolError
from mcp_types import CallToolResult, InputRequiredResult, TextContent
from pydantic import Field, ValidationError

from quibra import __version__
from quibra.interfaces.api import (
    BUILDING_NOTE,
    DEFAULT_BUDGET,
    DEFAULT_MAP_BUDGET,
    DEFAULT_TOP_FILES,
    MAX_CALL_DEPTH,
    Index,
    QuibraError,
    Report,
    start_watch,
    stop_watch,
)
from quibra.ranking.hotspots import DEFAULT_SINCE
from quibra.tree.manifest import compare
from quibra.tree.meter import Meter
from quibra.tree.watch import TreeWatch

# The largest context windows hold about a million tokens; a budget past
# that is a mistake, and its answer would be the whole tree.
MAX_BUDGET = 1_000_000
MAX_TOP = 1000

# What an agent does not need in every answer: where the index lives and
# the per-language counts that the command's summary line shows.
_NOISE = ("command", "root", "index", "languages", "skipped", "replaced")

INSTRUCTIONS = """\
Code search and a repository map for the tree this server was started on.
Start with repo_map for an outline of the code the rest of the tree uses
most; search_code finds the code that answers a question, with its source,
within a token budget, and search_files the files worth reading for it;
symbol_source gives one symbol's source by the symbol_id that the other
tools report; find_references lists where a name is used, and call_graph
what calls a function or what it calls; changed_files tells what changed
since you last asked; hotspots lists complex, often-changed functions.
Paths are relative to the tree's root. Every call sees the tree as it is
now."""

# How long a call waits for another call's refresh to end before it answers
# from the index as that refresh found it: a refresh that finds nothing to
# do ends well within this, a cold build of a large tree does not.
REFRESH_WAIT_SECONDS = 2.0
READING = "the index is being refreshed ({} of {} files read): this answer comes from the index as it stands"
BUILDING = "the index is being built ({} of {} files read): this answer comes from the files indexed so far"
BEHIND_REFRESH = (
    "another call is refreshing the index: this answer comes from the index as it was before that refresh"
)

Result = TypeVar("Result")
Tool = TypeVar("Tool", bound=Callable[..., Any])

Budget = Annotated[int, Field(ge=1, le=MAX_BUDGET, description="token budget of the answer's code text")]


def _trimmed(report: Report) -> Report:
    return {key: value for key, value in report.items() if key not in _NOISE}


def _plain(tool: str, error: ValidationError) -> str:
    """A validation failure in one line: the arguments at fault and what is wrong with each."""
    problems = []
    for problem in error.errors():
        where = ".".join(str(part) for part in problem["loc"]) or "arguments"
        message = problem["msg"]
        problems.append(f"{where}: {message[:1].lower()}{message[1:]}")
    return f"invalid arguments for {tool}: {'; '.join(problems)}"


# How often a call made while the index is being read says how far that is.
PROGRESS_SECONDS = 0.5


class _Server(MCPServer[Any]):
    # The session whose refresh a call reports the progress of.
    quibra: Session | None = None

    async def call_tool(
        self, name: str, arguments: dict[str, Any], context: Context[Any, Any] | None = None
    ) -> CallToolResult | InputRequiredResult:
        try:
            if context is None or self.quibra is None or self.quibra.reading is None:
                return await super().call_tool(name, arguments, context)
            async with anyio.create_task_group() as group:
                group.start_soon(self._report_reading, self.quibra, context)
                try:
                    result = await super().call_tool(name, arguments, context)
                finally:
                    group.cancel_scope.cancel()
            return result
        except ToolError as error:
            # The SDK's own text of a validation failure spans many lines and links to pydantic's site.
            if isinstance(error.__cause__, ValidationError):
                raise ToolError(_plain(name, error.__cause__)) from error.__cause__
            raise

    @staticmethod
    async def _report_reading(session: Session, context: Context[Any, Any]) -> None:
        """Progress notifications of the call `context` (if its client asked for
        them) while the session's refresh reads the tree."""
        while (reading := session.reading) is not None:
            await context.report_progress(reading[0], reading[1], "indexing the tree")
            await anyio.sleep(PROGRESS_SECONDS)


class Session:
    """One client's server: the index, and the file hashes it saw at its last changed_files call."""

    def __init__(self, index: Index, languages: list[str] | None = None, watch: TreeWatch | None = None):
        self.index = index
        self.languages = languages
        # The tree's events: while they tell that nothing changed, a call answers without listing the tree.
        self.watch = watch
        self._refreshing = threading.Lock()
        self._hashes_lock = threading.Lock()
        self._hashes: dict[str, str] | None = None
        # Each worker thread keeps its own connection: opening one costs more than a warm answer.
        self._local = threading.local()
        # The thread that ranks the symbol graph again after an edit moved it:
        # a call answers the edit at once, the map says when its order is older.
        self._settling: threading.Thread | None = None
        self._settling_lock = threading.Lock()
        # How far the refresh the server starts with has read: (files read, of
        # how many); None when it is not reading.
        self.reading: tuple[int, int] | None = None

    def _opened(self) -> Index:
        """The session's index on this thread's own connection; opened again
        when the file is another than the one opened (a damaged index was
        rebuilt and put in its place)."""
        opened: Index | None = getattr(self._local, "index", None)
        try:
            info = os.stat(self.index.index_path)
            identity: tuple[int, int] | None = (info.st_dev, info.st_ino)
        except OSError:
            identity = None
        if opened is None or identity is None or identity != getattr(self._local, "identity", None):
            if opened is not None:
                opened.close()
            opened = self._local.index = self._open()
            self._local.identity = identity
        return opened

    def _open(self) -> Index:
        index = self.index
        return Index(
            index.root,
            index_file=index.index_path,
            jobs=index.jobs,
            cluster=index.cluster,
            max_file_size=index.max_file_size,
            watch=self.watch,
            settle=False,
            batched=True,
        )

    def start(self) -> None:
        """Refresh the index on a thread of its own, before the first call: a
        call that comes meanwhile answers from the files indexed so far (a
        first build commits as it goes), and says how far the build is."""
        self._refreshing.acquire()
        threading.Thread(target=self._first_refresh, name="quibra-first-refresh", daemon=True).start()

    def _first_refresh(self) -> None:
        try:
            index = self._open()
            index.meter = self._meter
            try:
                index.refresh()
                self._settle_later(index)
            finally:
                index.close()
        except Exception:  # noqa: BLE001 - the first call refreshes again, and says what went wrong
            pass
        finally:
            self.reading = None
            self._refreshing.release()

    @contextlib.contextmanager
    def _meter(self, label: str, total: int) -> Iterator[Meter]:
        session = self

        class Reading:
            done = 0

            def advance(self, steps: int = 1) -> None:
                self.done += steps
                session.reading = (self.done, total)

        self.reading = (0, total)
        yield Reading()

    def _settle_later(self, index: Index) -> None:
        """Start ranking the symbol graph again on a thread of its own, if a
        refresh left that for later and no such thread runs."""
        with self._settling_lock:
            if self._settling is not None and self._settling.is_alive():
                return
            if not index.importance_stale():
                return
            self._settling = threading.Thread(target=self._settle, name="quibra-importance", daemon=True)
            self._settling.start()

    def _settle(self) -> None:
        try:
            index = self._open()
        except QuibraError:
            return
        try:
            index.settle_apart()
        except Exception:  # noqa: BLE001 - the next call starts it again (a lock held too long, a full disk)
            pass
        finally:
            index.close()

    def run(self, operation: Callable[[Index, bool], Result]) -> Result:
        """Run one call, `operation(index, refresh)`; every failure becomes a tool error.

        A slow call (a cold build of a large tree, a long query) must not
        hold up the calls after it, so each call reads through a connection
        of its own. Refreshes go one at a time: a call that finds another
        refreshing waits a little, then answers from the index as it stands,
        and says so.
        """
        refresh = self._refreshing.acquire(timeout=REFRESH_WAIT_SECONDS)
        try:
            index = self._opened()
            result = operation(index, refresh)
            if not refresh and isinstance(result, dict):
                warnings = result.get("warnings", [])
                reading = self.reading
                if reading is None:
                    behind = BEHIND_REFRESH
                elif BUILDING_NOTE in warnings:
                    behind = BUILDING.format(*reading)
                else:
                    behind = READING.format(*reading)
                result["warnings"] = [*(warning for warning in warnings if warning != BUILDING_NOTE), behind]
            if refresh:
                self._settle_later(index)
            return result
        except QuibraError as error:
            raise ToolError(str(error)) from None
        except OSError as error:
            raise ToolError(str(error)) from None
        except Exception as error:  # noqa: BLE001 - even a bug gets one line, and the server goes on
            raise ToolError(f"internal error: {type(error).__name__}: {error}") from error
        finally:
            if refresh:
                self._refreshing.release()

    def changed_files(self, index: Index, refresh: bool) -> Report:
        hashes = index.file_hashes(refresh=refresh)
        with self._hashes_lock:
            first = self._hashes is None
            changes = compare(self._hashes if self._hashes is not None else hashes, hashes)
            self._hashes = hashes
        return {
            "first_call": first,
            "files": len(hashes),
            "added": changes.added,
            "changed": changes.changed,
            "removed": changes.removed,
        }


def _text_result(text: str, report: Report) -> CallToolResult:
    """A result whose text is what goes into a model's context, with the report beside it."""
    return CallToolResult(content=[TextContent(type="text", text=text)], structured_content=report)


def _tool(server: MCPServer[Any], structured: bool = True) -> Callable[[Tool], Tool]:
    """Register a tool; its docstring, without the source's indentation, is the description an agent reads."""

    def register(function: Tool) -> Tool:
        description = inspect.cleandoc(function.__doc__ or "")
        server.add_tool(function, description=description, structured_output=None if structured else False)
        return function

    return register


def build_server(session: Session) -> MCPServer[Any]:
    server = _Server("quibra", instructions=INSTRUCTIONS, version=__version__, log_level="WARNING")
    server.quibra = session

    @_tool(server)
    def search_code(
        query: Annotated[str, Field(description="what to look for, in words or names")],
        budget: Budget = DEFAULT_BUDGET,
    ) -> dict[str, Any]:
        """The functions, methods and classes that best answer `query`, with their source,
        packed into `budget` tokens (about four characters a token) in the order they were picked.

        Each result says why it was chosen: `channel_ranks` is its rank in each channel
        (lexical: BM25 over names, signatures, docstrings and bodies; identity: its name
        matches the query; structural: PageRank of its file among the candidates; null
        when that channel did not find it), `score` the fused score, and `adjusted_score`
        the score after the packer damped further picks from the same file.
        A symbol longer than a sixteenth of the budget (and 64 tokens) comes as its first lines
        (`context_lines`); `symbol_id` names it for symbol_source, which gives it whole."""
        report = session.run(
            lambda index, refresh: index.search_code(query, budget, languages=session.languages, refresh=refresh)
        )
        return _trimmed(report)

    @_tool(server)
    def search_files(
        query: Annotated[str, Field(description="what to look for, in words or names")],
        top: Annotated[int, Field(ge=1, le=MAX_TOP, description="how many files to list")] = DEFAULT_TOP_FILES,
    ) -> dict[str, Any]:
        """The files worth reading for `query`, best first: each with its path, a score that
        adds up its best-matching symbols (each counting half the one before), how many of its
        symbols matched, and its best symbols with their lines and `symbol_id` (for
        symbol_source). Use it to decide which files to open; search_code gives the source."""
        report = session.run(
            lambda index, refresh: index.rank_files(query, top, languages=session.languages, refresh=refresh)
        )
        return _trimmed(report)

    @_tool(server, structured=False)
    def repo_map(
        budget: Budget = DEFAULT_MAP_BUDGET,
        focus: Annotated[
            list[str],
            Field(description="files being edited, relative to the tree's root: their symbols, then"
                              " the symbols their code uses or that use theirs, come first"),
        ] = [],  # noqa: B006 - the SDK reads the default for the schema and never mutates it
    ) -> CallToolResult:
        """An outline of the tree for your context, with no query: the symbols the rest of the
        code uses most (PageRank of who uses what; tests, private names and dunders last), each
        file's path followed by the signature lines of its chosen symbols, indented by nesting. The text never
        exceeds `budget` tokens (about four characters a token); the same tree and budget
        give the same map. The structured result lists each symbol's `symbol_id`."""
        report = session.run(
            lambda index, refresh: index.repo_map(budget, focus, languages=session.languages, refresh=refresh)
        )
        return _text_result(report["map"], _trimmed(report))

    @_tool(server)
    def hotspots(
        since: Annotated[
            str, Field(description="churn window: a number of days, a span such as '6 weeks', or a date YYYY-MM-DD")
        ] = DEFAULT_SINCE,
        top: Annotated[int, Field(ge=1, le=MAX_TOP, description="how many to list")] = 20,
        tests: Annotated[bool, Field(description="list test code too")] = False,
    ) -> dict[str, Any]:
        """Complex functions in often-changed files: cyclomatic complexity times the logarithm
        of the number of git commits that touched the file since `since`, highest first; test
        code only when `tests` is true. Churn comes from git history: outside a git repository
        the tool answers with an error."""
        report = session.run(
            lambda index, refresh: index.hotspots(
                since, top, languages=session.languages, refresh=refresh, tests=tests
            )
        )
        return _trimmed(report)

    @_tool(server)
    def changed_files() -> dict[str, Any]:
        """The files added, changed and removed since the previous call of this tool in this
        session, by content hash (a file saved again unchanged is not listed). The first call
        sets the starting point: it reports `first_call` true, the number of files, and no changes."""
        return session.run(session.changed_files)

    @_tool(server, structured=False)
    def symbol_source(
        symbol_id: Annotated[
            str, Field(description="the symbol_id that search_code or repo_map gave, 'path/to/file.py:Class.method'")
        ],
    ) -> CallToolResult:
        """The source text of one symbol, with the lines before it that belong to it
        (decorators, doc comments). The structured result gives its file and lines."""
        report = session.run(lambda index, refresh: index.symbol_source(symbol_id, refresh=refresh))
        return _text_result(report["source"], _trimmed(report))

    @_tool(server)
    def find_references(
        name: Annotated[
            str,
            Field(description="a name ('open'), a qualified name ('Class.method'), a symbol_id ('path:key')"
                              " or a place ('path/to/file.py:120')"),
        ],
        budget: Budget = DEFAULT_BUDGET,
    ) -> dict[str, Any]:
        """The definitions `name` means and every reference resolved to them: each with its
        file and line, `symbol` (the symbol_id of the function or class it stands in, null at
        file level), `kind` (call, type, import, attribute, other), `target` (the symbol_id of
        the definition it refers to) and `weight` (below 1 when it may mean several definitions).
        `unresolved` counts uses of the name that were resolved to no definition. The listed
        references fit `budget` tokens; `left_out` counts those cut."""
        report = session.run(
            lambda index, refresh: index.refs(name, languages=session.languages, refresh=refresh, budget=budget)
        )
        return _trimmed(report)

    @_tool(server)
    def call_graph(
        name: Annotated[
            str, Field(description="the function or method: a name, 'Class.method', a symbol_id or 'path:line'")
        ],
        direction: Annotated[
            Literal["callers", "callees", "both"], Field(description="what calls it, what it calls, or both")
        ] = "callers",
        depth: Annotated[int, Field(ge=1, le=MAX_CALL_DEPTH, description="how many levels to follow")] = 2,
        budget: Budget = DEFAULT_BUDGET,
    ) -> dict[str, Any]:
        """The functions that call `name` (callers) or that it calls (callees), level by level
        to `depth`: each with its symbol_id, file, line, `depth`, the symbol_id it calls
        (`calls`) or is called by (`called_by`), and the `weight` of that resolution.
        The listed calls fit `budget` tokens; `left_out` counts those cut."""
        callers = depth if direction in ("callers", "both") else 0
        callees = depth if direction in ("callees", "both") else 0
        report = session.run(
            lambda index, refresh: index.refs(
                name, callers=callers, callees=callees, languages=session.languages, refresh=refresh, budget=budget
            )
        )
        del report["references"]
        return _trimmed(report)

    return server


def serve(index: Index, languages: list[str] | None = None) -> None:
    """Answer MCP requests on standard input and output until the client closes them,
    following the tree's events where it can be watched."""
    watch = start_watch(index)
    try:
        session = Session(index, languages, watch)
        session.start()
        build_server(session).run("stdio")
    finally:
        if watch is not None:
            stop_watch(index, watch)
