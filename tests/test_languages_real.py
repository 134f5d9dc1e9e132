"""The tree-sitter language readers on real code that nobody here wrote,
installed from Debian packages (see .ci/run): well-known functions with
their doc comments, import edges, and whole trees read without a crash."""

from __future__ import annotations

import zipfile
from pathlib import Path

import pytest

from quibra.tree.languages import language_of, read_source, resolve_edges, syntax
from quibra.tree.languages.model import SkipFile, Symbol

# The host's tests: the sanitizer build of the engine skips them (tools/sanitize).
pytestmark = pytest.mark.host

GO_SRC = Path("/usr/share/go-1.19/src")
SEMVER_CRATE = Path("/usr/share/cargo/registry/semver-1.0.14")
REGEX_SYNTAX_CRATE = Path("/usr/share/cargo/registry/regex-syntax-0.6.27")
NODE_SEMVER = Path("/usr/share/nodejs/semver")
TYPESCRIPT_LIB = Path("/usr/share/nodejs/typescript/lib")
JDK_SOURCES = Path("/usr/lib/jvm/openjdk-17/lib/src.zip")
GOOGLETEST = Path("/usr/src/googletest")
GNULIB = Path("/usr/share/gnulib/lib")


def needs(path: Path, package: str) -> pytest.MarkDecorator:
    return pytest.mark.skipif(not path.exists(), reason=f"{path} is missing: apt-get install {package}")


def tree_files(root: Path) -> dict[str, bytes]:
    """Every file of a language reader under `root`, by tree-relative path."""
    return {
        str(path.relative_to(root)): path.read_bytes()
        for path in sorted(root.rglob("*"))
        if path.is_file() and language_of(path.name) not in (None, "python")
    }


def read_tree(files: dict[str, bytes]) -> tuple[dict[str, list[Symbol]], dict[str, dict[str, list[object]]]]:
    symbols: dict[str, list[Symbol]] = {}
    imports: dict[str, dict[str, list[object]]] = {}
    for path, source in files.items():
        language = language_of(path)
        assert language is not None
        try:
            extract = read_source(language, path, source)
        except SkipFile:
            continue
        symbols[path] = extract.symbols
        imports.setdefault(language, {})[path] = extract.imports
    return symbols, imports


def find(symbols: list[Symbol], qualname: str) -> Symbol:
    found = [symbol for symbol in symbols if symbol.qualname == qualname]
    assert found, f"{qualname} not among {sorted(symbol.qualname for symbol in symbols)[:50]}"
    return found[0]


def assert_sound(symbols: dict[str, list[Symbol]], lines: dict[str, int]) -> None:
    assert sum(map(len, symbols.values())) > 0
    for path, found in symbols.items():
        for symbol in found:
            assert 1 <= symbol.start_line <= symbol.line <= symbol.end_line <= lines[path], (path, symbol)
            assert symbol.qualname.endswith(symbol.name) and symbol.cyclomatic >= 1, (path, symbol)


def line_counts(files: dict[str, bytes]) -> dict[str, int]:
    return {path: source.count(b"\n") + 1 for path, source in files.items()}


@needs(GO_SRC, "golang-src")
def test_go_standard_library():
    root = GO_SRC
    packages = ["net/http", "strings", "internal/godebug", "net/http/internal"]
    files = {
        f"{package}/{path.name}": path.read_bytes()
        for package in packages
        for path in sorted((root / package).glob("*.go"))
    }
    symbols, imports = read_tree(files)
    assert_sound(symbols, line_counts(files))

    listen = find(symbols["net/http/server.go"], "Server.ListenAndServe")
    assert listen.kind == "method" and listen.param_count == 0
    assert listen.signature == "func (srv *Server) ListenAndServe() error"
    assert listen.docstring.startswith("ListenAndServe listens on the TCP network address srv.Addr")
    assert listen.start_line < listen.line
    split = find(symbols["strings/strings.go"], "Split")
    assert split.kind == "function" and split.param_count == 2
    assert split.docstring.startswith("Split slices s into all substrings separated by sep")

    # std's go.mod says `module std`: its packages import one another by bare paths.
    paths = frozenset(str(path.relative_to(root)) for path in root.glob("**/*.go")) | {"go.mod"}
    edges = set(resolve_edges(root, imports, paths))
    assert ("net/http/transfer.go", "net/http/internal/chunked.go") in edges
    assert any(importer == "net/http/server.go" and target.startswith("internal/godebug/") for importer, target in edges)
    assert not any(target.endswith("_test.go") for _, target in edges)


@needs(GO_SRC / "net", "golang-src")
def test_go_whole_package_tree_reads_without_error():
    files = tree_files(GO_SRC / "net")
    symbols, _ = read_tree(files)
    assert_sound(symbols, line_counts(files))


@needs(SEMVER_CRATE, "librust-semver-dev")
def test_rust_semver_crate():
    files = tree_files(SEMVER_CRATE)
    symbols, imports = read_tree(files)
    assert_sound(symbols, line_counts(files))
    parse = find(symbols["src/lib.rs"], "VersionReq::parse")
    assert parse.kind == "method" and parse.param_count == 1
    assert parse.docstring.startswith("Create `VersionReq` by parsing from string representation.")
    assert parse.start_line < parse.line  # the doc comment is part of it
    version_req = find(symbols["src/lib.rs"], "VersionReq")
    assert version_req.kind == "struct" and version_req.docstring.startswith("**SemVer version requirement**")
    # `impl FromStr for VersionReq` is where from_str lives.
    assert find(symbols["src/parse.rs"], "VersionReq::from_str").kind == "method"

    edges = set(resolve_edges(SEMVER_CRATE, imports, frozenset(files)))
    assert {("src/lib.rs", "src/parse.rs"), ("src/lib.rs", "src/eval.rs")} <= edges
    assert ("src/parse.rs", "src/error.rs") in edges


@needs(REGEX_SYNTAX_CRATE, "librust-regex-syntax-dev")
def test_rust_nested_module_folders():
    files = tree_files(REGEX_SYNTAX_CRATE)
    symbols, imports = read_tree(files)
    assert_sound(symbols, line_counts(files))
    edges = set(resolve_edges(REGEX_SYNTAX_CRATE, imports, frozenset(files)))
    # lib.rs declares `mod ast;` (ast/mod.rs), which declares `mod parse;` (ast/parse.rs).
    assert {("src/lib.rs", "src/ast/mod.rs"), ("src/ast/mod.rs", "src/ast/parse.rs")} <= edges
    assert any(importer == "src/hir/translate.rs" and target == "src/ast/mod.rs" for importer, target in edges)


@needs(NODE_SEMVER, "node-semver")
def test_javascript_node_semver():
    files = tree_files(NODE_SEMVER)
    symbols, imports = read_tree(files)
    assert_sound(symbols, line_counts(files))
    parse = find(symbols["functions/parse.js"], "parse")
    assert parse.kind == "function" and parse.param_count == 2 and parse.cyclomatic > 1
    compare = find(symbols["classes/semver.js"], "SemVer.compare")
    assert compare.kind == "method" and compare.param_count == 1
    edges = set(resolve_edges(NODE_SEMVER, imports, frozenset(files)))
    assert ("functions/satisfies.js", "classes/range.js") in edges
    assert ("index.js", "functions/parse.js") in edges


@needs(TYPESCRIPT_LIB, "node-typescript")
def test_typescript_declarations_carry_their_docs():
    files = {path.name: path.read_bytes() for path in sorted(TYPESCRIPT_LIB.glob("lib.*.d.ts"))}
    symbols, _ = read_tree(files)
    assert_sound(symbols, line_counts(files))
    push = find(symbols["lib.es5.d.ts"], "Array.push")
    assert push.kind == "method" and push.param_count == 1
    assert push.docstring.startswith("Appends new elements to the end of an array")
    assert find(symbols["lib.es5.d.ts"], "Array").kind == "interface"
    assert find(symbols["lib.es5.d.ts"], "parseInt").docstring.startswith("Converts a string to an integer.")


def jdk_util_sources() -> dict[str, bytes]:
    with zipfile.ZipFile(JDK_SOURCES) as archive:
        return {
            name: archive.read(name)
            for name in archive.namelist()
            if name.startswith(("java.base/java/util/", "java.base/java/io/")) and name.endswith(".java")
        }


@needs(JDK_SOURCES, "openjdk-17-source")
def test_java_jdk_sources():
    files = jdk_util_sources()
    symbols, imports = read_tree(files)
    assert_sound(symbols, line_counts(files))
    array_list = "java.base/java/util/ArrayList.java"
    adds = [symbol for symbol in symbols[array_list] if symbol.qualname == "ArrayList.add"]
    assert {symbol.param_count for symbol in adds} >= {1, 2}
    public_add = next(symbol for symbol in adds if symbol.signature == "public boolean add(E e)")
    assert public_add.docstring.startswith("Appends the specified element to the end of this list.")
    assert find(symbols[array_list], "ArrayList.Itr.next").kind == "method"
    assert find(symbols["java.base/java/util/Map.java"], "Map.Entry").kind == "interface"

    edges = set(resolve_edges(Path("/"), imports, frozenset(files)))
    assert (array_list, "java.base/java/util/AbstractList.java") in edges  # same package, by mention
    assert (array_list, "java.base/java/util/function/Consumer.java") in edges  # single-type import
    assert ("java.base/java/util/Scanner.java", "java.base/java/io/Closeable.java") in edges


@needs(GOOGLETEST, "googletest")
def test_cpp_googletest():
    files = tree_files(GOOGLETEST)
    symbols, imports = read_tree(files)
    assert_sound(symbols, line_counts(files))
    run = find(symbols["googletest/src/gtest.cc"], "testing::Test::Run")
    assert run.kind == "method" and run.docstring == "Runs the test and updates the test result."
    init = find(symbols["googletest/src/gtest.cc"], "testing::InitGoogleTest")
    assert init.kind == "function" and init.docstring.startswith("Initializes Google Test.")
    # gtest.h is a .h file whose text is C++: it is read as C++.
    assert language_of("googletest/include/gtest/gtest.h") == "c"
    assert find(symbols["googletest/include/gtest/gtest.h"], "testing::Test").kind == "class"

    edges = set(resolve_edges(GOOGLETEST, imports, frozenset(files)))
    assert ("googletest/src/gtest.cc", "googletest/include/gtest/gtest.h") in edges
    assert ("googletest/src/gtest-all.cc", "googletest/src/gtest.cc") in edges


@needs(GNULIB, "gnulib")
def test_c_gnulib():
    files = {name: source for name, source in tree_files(GNULIB).items() if "/" not in name}
    symbols, imports = read_tree(files)
    assert_sound(symbols, line_counts(files))
    insert = find(symbols["hash.h"], "hash_insert")
    assert insert.kind == "function" and insert.param_count == 2
    assert insert.docstring.startswith("If ENTRY matches an entry already in the hash table")
    assert find(symbols["hash.c"], "hash_insert").cyclomatic > 1
    edges = set(resolve_edges(GNULIB, imports, frozenset(files)))
    assert ("hash.c", "hash.h") in edges and ("xmalloc.c", "xalloc.h") in edges


@pytest.mark.parametrize(
    ("root", "subtree"),
    [
        (GO_SRC, "net/http"),
        (REGEX_SYNTAX_CRATE, "src"),
        (NODE_SEMVER, ""),
        (GOOGLETEST, "googletest"),
        (GNULIB, ""),
    ],
    ids=["go", "rust", "javascript", "cpp", "c"],
)
def test_doc_comments_read_from_the_text_match_the_tree_walk(root, subtree, monkeypatch):
    # Whether a definition has nothing above it is first judged from the text
    # alone; walking the earlier siblings must never see it otherwise.
    if not root.exists():
        pytest.skip(f"{root} is missing")
    files = tree_files(root / subtree)
    shortcut, _ = read_tree(files)
    monkeypatch.setattr(syntax._Reader, "_bare", lambda self, anchor: False)
    walked, _ = read_tree(files)
    assert shortcut == walked and sum(map(len, walked.values())) > 50
