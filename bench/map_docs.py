"""Does the repository map show what a framework is built around?

python bench/map_docs.py [--scratch DIR] [--budget N] [--mirrors DIR] [--json FILE]

For each framework, the names its own documentation introduces first (its
tutorial's or package overview's first pages: the types and entry points a
newcomer meets before anything else) were written down from that
documentation before any map of it was looked at. The benchmark indexes
the framework's package, prints `quibra map` at the given budget (the
default one unless told) and counts how many of those names the map shows,
as a definition's own name anywhere in the outline.

Trees: Go's net/http as Debian's golang-src installs it, java.util from the
JDK's sources (openjdk-17-source), and, from git mirrors (the `fetch` tool
puts them under /work/.mirror/OWNER+NAME/repo), SQLAlchemy, Tornado and
Scrapy at the newest commit the mirror holds. A tree that cannot be had is
skipped with a note.
"""

from __future__ import annotations

import argparse
import json
import shutil
import subprocess
import sys
import tempfile
import zipfile
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import quibra


@dataclass(frozen=True)
class Framework:
    name: str
    documented: tuple[str, ...]  # in the order the documentation introduces them
    mirror: str = ""  # OWNER+NAME of a git mirror
    package: str = ""  # the folder of the package within the repository or source tree
    local: str = ""  # a folder installed on this machine
    zip_prefix: str = ""  # a folder inside the JDK's src.zip


JDK_SOURCES = Path("/usr/lib/jvm/openjdk-17/lib/src.zip")

FRAMEWORKS = [
    Framework(
        "go net/http",
        # The package overview: Get, Head, Post, PostForm make requests; the Client and Transport;
        # ListenAndServe with Handle and HandleFunc on the DefaultServeMux; a custom Server.
        ("Get", "Head", "Post", "PostForm", "Client", "Response", "Request", "Transport", "Handler",
         "ListenAndServe", "Handle", "HandleFunc", "ServeMux", "Server", "ResponseWriter", "Header"),
        local="/usr/share/go-1.19/src/net/http",
    ),
    Framework(
        "java.util collections",
        # The collections framework overview: the interfaces, then the general-purpose implementations.
        ("Collection", "Set", "List", "Queue", "Deque", "Map", "SortedSet", "SortedMap", "Iterator",
         "HashSet", "TreeSet", "ArrayList", "LinkedList", "ArrayDeque", "HashMap", "TreeMap", "Collections",
         "Arrays"),
        zip_prefix="java.base/java/util/",
    ),
    Framework(
        "sqlalchemy",
        # The unified tutorial: establishing connectivity, working with transactions and metadata, the ORM.
        ("create_engine", "Engine", "Connection", "text", "Result", "Row", "MetaData", "Table", "Column",
         "ForeignKey", "DeclarativeBase", "Mapped", "mapped_column", "relationship", "Session", "select",
         "insert", "update", "delete"),
        mirror="sqlalchemy+sqlalchemy",
        package="lib/sqlalchemy",
    ),
    Framework(
        "tornado",
        # The user's guide: a RequestHandler in an Application on the IOLoop; HTTPServer; the
        # asynchronous client; coroutines; templates; web sockets.
        ("RequestHandler", "Application", "IOLoop", "HTTPServer", "AsyncHTTPClient", "HTTPRequest",
         "HTTPResponse", "coroutine", "Template", "Loader", "WebSocketHandler", "HTTPError"),
        mirror="tornadoweb+tornado",
        package="tornado",
    ),
    Framework(
        "scrapy",
        # The tutorial and the architecture overview.
        ("Spider", "Request", "Response", "Selector", "Item", "Field", "ItemLoader", "CrawlSpider", "Rule",
         "LinkExtractor", "CrawlerProcess", "Crawler", "Settings", "Scheduler", "Downloader", "ExecutionEngine"),
        mirror="scrapy+scrapy",
        package="scrapy",
    ),
]


class Missing(Exception):
    pass


def materialize(framework: Framework, scratch: Path, mirrors: Path) -> Path:
    """A copy of the framework's package in `scratch` (made once)."""
    target = scratch / framework.name.replace(" ", "_").replace("/", "_")
    if target.exists():
        return target
    partial = target.with_suffix(".partial")
    shutil.rmtree(partial, ignore_errors=True)
    if framework.local:
        if not Path(framework.local).is_dir():
            raise Missing(f"{framework.local} is missing")
        shutil.copytree(framework.local, partial, ignore=shutil.ignore_patterns("testdata"))
    elif framework.zip_prefix:
        if not JDK_SOURCES.exists():
            raise Missing(f"{JDK_SOURCES} is missing")
        with zipfile.ZipFile(JDK_SOURCES) as sources:
            for name in sources.namelist():
                rest = name[len(framework.zip_prefix):]
                if name.startswith(framework.zip_prefix) and name.endswith(".java") and "/" not in rest:
                    (partial / rest).parent.mkdir(parents=True, exist_ok=True)
                    (partial / rest).write_bytes(sources.read(name))
    else:
        git_dir = mirrors / framework.mirror / "repo"
        if not git_dir.is_dir():
            raise Missing(f"no mirror at {git_dir}")
        partial.mkdir(parents=True)
        archive = subprocess.run(
            ["git", f"--git-dir={git_dir}", "archive", "HEAD", framework.package],
            check=True, capture_output=True,
        ).stdout
        subprocess.run(["tar", "-x", "-C", str(partial)], input=archive, check=True)
    partial.rename(target)
    return target


def measure(framework: Framework, tree: Path, budget: int | None) -> dict[str, Any]:
    with quibra.Index(tree) as index:
        report = index.repo_map(budget) if budget is not None else index.repo_map()
    shown = [symbol["symbol"].split(".")[-1] for entry in report["outline"] for symbol in entry["symbols"]]
    found = [name for name in framework.documented if name in shown]
    return {
        "framework": framework.name,
        "documented": len(framework.documented),
        "shown": len(found),
        "missing": [name for name in framework.documented if name not in shown],
        "symbols_on_map": len(shown),
        "tokens": report["total_tokens"],
    }


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scratch", type=Path, default=Path(tempfile.gettempdir()) / "quibra-map-docs")
    parser.add_argument("--mirrors", type=Path, default=Path("/work/.mirror"))
    parser.add_argument("--budget", type=int, default=None, help="the map's budget (default: the map's own)")
    parser.add_argument("--json", type=Path, default=None)
    args = parser.parse_args(argv)
    args.scratch.mkdir(parents=True, exist_ok=True)
    rows = []
    for framework in FRAMEWORKS:
        try:
            tree = materialize(framework, args.scratch, args.mirrors)
        except (Missing, subprocess.CalledProcessError) as error:
            print(f"skipped {framework.name}: {error}", file=sys.stderr)
            continue
        rows.append(measure(framework, tree, args.budget))
    print(f"{'framework':24} {'shown':>7} {'of':>4} {'on map':>7}  missing")
    for row in rows:
        print(
            f"{row['framework']:24} {row['shown']:>7} {row['documented']:>4} {row['symbols_on_map']:>7}  "
            + ", ".join(row["missing"])
        )
    if rows:
        print(f"{'all':24} {sum(r['shown'] for r in rows):>7} {sum(r['documented'] for r in rows):>4}")
    if args.json is not None:
        args.json.write_text(json.dumps(rows, indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main())
