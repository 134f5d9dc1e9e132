"""References that each reader records from the same parse as its symbols:
calls, type uses and imported names, with their qualifier and the symbol
they stand in."""

from __future__ import annotations

import textwrap
import zipfile
from pathlib import Path

import pytest
from quibra.tree.languages import language_of, python, read_source, syntax
from quibra.tree.languages.model import REFERENCE_KINDS, FileExtract, Reference, SkipFile

pytestmark = pytest.mark.host

R = Reference

SNIPPETS = {
    "python": (
        "a.py",
        """\
        import os.path as p, sys
        from ..pkg import x as y
        class A(B, mod.C, metaclass=M):
            def f(self, a: Dict[str, int] = g(), *b: x.Y) -> A | None:
                super().f(a)
                os.path.join((a).strip(), "s".join(b))
        """,
        [
            R("path", 1, "import", "os", -1),
            R("sys", 1, "import", "", -1),
            R("x", 2, "import", "..pkg", -1),
            R("B", 3, "type", "", 0),
            R("C", 3, "type", "mod", 0),
            R("Dict", 4, "type", "", 1),
            R("str", 4, "type", "", 1),
            R("int", 4, "type", "", 1),
            R("g", 4, "call", "", 1, 0),
            R("Y", 4, "type", "x", 1),
            R("A", 4, "type", "", 1),
            R("super", 5, "call", "", 1, 0),
            R("f", 5, "call", "super()", 1, 1),
            R("join", 6, "call", "os.path", 1, 2),
            R("strip", 6, "call", "(a)", 1, 0),
            R("join", 6, "call", '"s"', 1, 1),
        ],
    ),
    "go": (
        "a.go",
        """\
        package main
        import (
            "fmt"
            h "net/http"
        )
        type Server struct { c *h.Client }
        func (s *Server) Run(n Node) error {
            fmt.Println(n)
            return run(s.c.Get())
        }
        """,
        [
            R("fmt", 3, "import", "fmt", -1),
            R("http", 4, "import", "net/http", -1),
            R("Client", 6, "type", "h", 0),
            R("Server", 7, "type", "", 1),
            R("Node", 7, "type", "", 1),
            R("error", 7, "type", "", 1),
            R("Println", 8, "call", "fmt", 1, 1),
            R("run", 9, "call", "", 1, 1),
            R("Get", 9, "call", "s.c", 1, 0),
        ],
    ),
    "rust": (
        "a.rs",
        """\
        use a::b::{c, d as e};
        struct S<T> { x: de::Error, y: Vec<T> }
        impl fmt::Display for S<u8> {
            fn fmt(&self) -> fmt::Result {
                Parser::<u8>::new(); self.go(); helper(1);
                println!("{}", inner(x), y.z())
            }
        }
        """,
        [
            R("c", 1, "import", "a::b", -1),
            R("d", 1, "import", "a::b", -1),
            R("Error", 2, "type", "de", 0),
            R("Vec", 2, "type", "", 0),
            R("T", 2, "type", "", 0),
            R("Display", 3, "type", "fmt", -1),
            R("S", 3, "type", "", -1),
            R("Result", 4, "type", "fmt", 1),
            R("Parser", 5, "type", "", 1),
            R("new", 5, "call", "Parser::<u8>", 1, 0),
            R("go", 5, "call", "self", 1, 0),
            R("helper", 5, "call", "", 1, 1),
            R("inner", 6, "call", "", 1),
            R("z", 6, "call", "y", 1),
        ],
    ),
    "javascript": (
        "a.js",
        """\
        import d, { x as y } from "./m";
        export * from "./s";
        class A extends lib.Base {
          f() { new Foo(); g(this.h(1)); }
        }
        """,
        [
            R("d", 1, "import", "./m", -1),
            R("x", 1, "import", "./m", -1),
            R("*", 2, "import", "./s", -1),
            R("Base", 3, "type", "lib", 0),
            R("Foo", 4, "call", "", 1, 0),
            R("g", 4, "call", "", 1, 1),
            R("h", 4, "call", "this", 1, 1),
        ],
    ),
    "typescript": (
        "a.ts",
        """\
        import * as ns from "n";
        interface I extends J {}
        class A<T> extends B implements C<D> {
          f(a: ns.T): E { return new ns.Bar(a.b.c()); }
        }
        """,
        [
            R("*", 1, "import", "n", -1),
            R("J", 2, "type", "", 0),
            R("B", 3, "type", "", 1),
            R("C", 3, "type", "", 1),
            R("D", 3, "type", "", 1),
            R("T", 4, "type", "ns", 2),
            R("E", 4, "type", "", 2),
            R("Bar", 4, "call", "ns", 2, 1),
            R("c", 4, "call", "a.b", 2, 0),
        ],
    ),
    "java": (
        "A.java",
        """\
        import java.util.*;
        import x.y.Z;
        class A<T> extends b.B<X> implements I {
          java.util.List<T> items;
          void f() { new a.Foo<>(); new Bar(); this.g(); h(); }
        }
        """,
        [
            R("*", 1, "import", "java.util", -1),
            R("Z", 2, "import", "x.y", -1),
            R("B", 3, "type", "b", 0),
            R("X", 3, "type", "", 0),
            R("I", 3, "type", "", 0),
            R("List", 4, "type", "java.util", 0),
            R("T", 4, "type", "", 0),
            R("Foo", 5, "call", "a", 1, 0),
            R("Bar", 5, "call", "", 1, 0),
            R("g", 5, "call", "this", 1, 0),
            R("h", 5, "call", "", 1, 0),
        ],
    ),
    "c": (
        "a.c",
        """\
        #include "x.h"
        typedef struct { int a; } T;
        struct S { struct U u; T t; };
        int f(struct S *s) { g(s->x); s->cb(1); return h(); }
        """,
        [
            R("x.h", 1, "import", "", -1),
            R("U", 3, "type", "", 1),
            R("T", 3, "type", "", 1),
            R("S", 4, "type", "", 2),
            R("g", 4, "call", "", 2, 1),
            R("cb", 4, "call", "s", 2, 1),
            R("h", 4, "call", "", 2, 0),
        ],
    ),
    "cpp": (
        "a.cc",
        """\
        #include <vector>
        template <typename T>
        struct S : a::Base<int> { T t; };
        void f(Foo* p) { a::b::g<int>(1); std::vector<int>::iterator it; new ns::T(); p->m(); X<int>::k(); }
        """,
        [
            R("vector", 1, "import", "", -1),
            R("Base", 3, "type", "a", 0),
            R("T", 3, "type", "", 0),
            R("Foo", 4, "type", "", 1),
            R("g", 4, "call", "a::b", 1, 1),
            R("iterator", 4, "type", "std::vector<int>", 1),
            R("T", 4, "call", "ns", 1, 0),
            R("m", 4, "call", "p", 1, 0),
            R("k", 4, "call", "X<int>", 1, 0),
        ],
    ),
}


def references(path: str, source: str) -> list[Reference]:
    language = language_of(path)
    assert language is not None
    return read_source(language, path, textwrap.dedent(source).encode()).references


@pytest.mark.parametrize("language", sorted(SNIPPETS))
def test_calls_types_and_imports_are_recorded_exactly(language):
    path, source, expected = SNIPPETS[language]
    assert references(path, source) == expected


def test_the_ast_reader_records_what_the_tree_sitter_reader_does():
    path, source, expected = SNIPPETS["python"]
    assert python.read(path, textwrap.dedent(source).encode()).references == expected


# Python: a name an import renamed is recorded as the name it imports,
# reached through its module; a decorator calls what it names.
PYTHON_USES = {
    "a name from a module, renamed": (
        "from .m import a as b\nb(1)\nx: b.T = b.f()\n",
        [R("a", 1, "import", ".m", -1), R("a", 2, "call", ".m", -1, 1), R("T", 3, "type", ".m.a", -1),
         R("f", 3, "call", ".m.a", -1, 0)],
    ),
    "a module, renamed": (
        "import os.path as p\nfrom . import m as n\np.join(n.f())\n",
        [R("path", 1, "import", "os", -1), R("m", 2, "import", ".", -1), R("join", 3, "call", "os.path", -1, 1),
         R("f", 3, "call", ".m", -1, 0)],
    ),
    "a renamed name the file defines again": (
        "from m import a as b\ndef b():\n    b()\n",
        [R("a", 1, "import", "m", -1), R("b", 3, "call", "", 0, 0)],
    ),
    "decorators": (
        "import functools as ft\n@cache\n@ft.wraps\n@(lru)\n@route(1)\nclass C:\n    @prop.setter\n    def f(self): pass\n",
        [R("functools", 1, "import", "", -1), R("cache", 2, "call", "", 0), R("wraps", 3, "call", "functools", 0),
         R("lru", 4, "call", "", 0), R("route", 5, "call", "", 0, 1), R("setter", 7, "call", "prop", 1)],
    ),
}


@pytest.mark.parametrize("reader", ["tree-sitter", "ast"])
@pytest.mark.parametrize("case", sorted(PYTHON_USES))
def test_python_renamed_imports_and_decorators(case, reader):
    source, expected = PYTHON_USES[case]
    found = references("a.py", source) if reader == "tree-sitter" else python.read("a.py", source.encode()).references
    assert found == expected


@pytest.mark.parametrize(
    ("path", "source", "left_out"),
    [
        # Definitions' own names, parameters and locals are no uses.
        ("a.py", "def f(a, b=1):\n    c = a\n", {"f", "a", "b", "c"}),
        ("a.go", "package m\ntype T struct{}\ntype N = int\nfunc F(x int) { y := x }\n", {"T", "N", "F", "x", "y"}),
        ("a.rs", "struct S;\ntrait Tr { type Item; }\nfn f<T>(x: u8) { let y = x; }\n", {"S", "Tr", "Item", "f", "x", "y"}),
        ("a.ts", "interface I {}\ntype K = number;\nclass C<T> {}\n", {"I", "K", "C"}),
        ("a.cc", "class C {};\nusing A = int;\nstruct S {};\n", {"C", "A", "S"}),
        # Attribute reads that are no calls are left out.
        ("a.py", "x = a.b.c\n", {"b", "c"}),
        # In a path, only the last name is a use: the rest is its qualifier.
        ("A.java", "class A { java.util.Map m; }\n", {"java", "util", "A"}),
    ],
)
def test_what_is_no_reference(path, source, left_out):
    assert not left_out & {reference.name for reference in references(path, source)}


def test_long_qualifiers_keep_their_end():
    receiver = "f(" + ", ".join(f"argument_{index}" for index in range(40)) + ")"
    [_, call] = references("a.js", f"{receiver}.then();\n")
    assert call.name == "then" and call.qualifier.startswith("\u2026") and call.qualifier.endswith("argument_39)")
    assert len(call.qualifier) == syntax.LONGEST_QUALIFIER + 1


def test_references_per_file_are_capped(monkeypatch):
    monkeypatch.setattr(syntax, "MAX_REFERENCES", 10)
    found = references("a.go", "package m\nfunc f() {\n" + "g()\n" * 50 + "}\n")
    assert [reference.line for reference in found] == list(range(3, 13))


# Real code: the count of references is plausible, and every one lies within
# its file and within the symbol it names as its scope.

GO_NET = Path("/usr/share/go-1.19/src/net/http")
CARGO = Path("/usr/share/cargo/registry")
NODE_SEMVER = Path("/usr/share/nodejs/semver")
TYPESCRIPT_LIB = Path("/usr/share/nodejs/typescript/lib")
JDK_SOURCES = Path("/usr/lib/jvm/openjdk-17/lib/src.zip")
GOOGLETEST = Path("/usr/src/googletest")
GNULIB = Path("/usr/share/gnulib/lib")
STDLIB = Path(textwrap.__file__).parent


def _files(root: Path, pattern: str, limit: int = 60) -> dict[str, bytes]:
    return {str(path): path.read_bytes() for path in sorted(root.glob(pattern))[:limit] if path.is_file()}


def _jdk() -> dict[str, bytes]:
    with zipfile.ZipFile(JDK_SOURCES) as sources:
        names = sorted(name for name in sources.namelist() if name.startswith("java.base/java/util/"))
        return {name: sources.read(name) for name in [name for name in names if name.endswith(".java")][:60]}


REAL = {
    "go": (GO_NET, lambda: _files(GO_NET, "*.go"), ("Sprintf", "call", "fmt")),
    "rust": (CARGO, lambda: _files(CARGO, "semver-*/src/**/*.rs"), ("Error", "type", "")),
    "javascript": (NODE_SEMVER, lambda: _files(NODE_SEMVER, "**/*.js"), ("require", "call", "")),
    "typescript": (TYPESCRIPT_LIB, lambda: _files(TYPESCRIPT_LIB, "lib.es20*.d.ts"), ("PromiseLike", "type", "")),
    "java": (JDK_SOURCES, _jdk, ("Consumer", "import", "java.util.function")),
    "cpp": (GOOGLETEST, lambda: _files(GOOGLETEST, "googletest/src/*.cc"), ("GetTestTypeId", "call", "")),
    "c": (GNULIB, lambda: _files(GNULIB, "hash*.[ch]"), ("free", "call", "")),
    "python": (STDLIB, lambda: _files(STDLIB, "json/*.py"), ("JSONDecodeError", "call", "")),
}


def _check_sound(path: str, source: bytes, extract: FileExtract) -> None:
    lines = source.count(b"\n") + 1
    symbols = extract.symbols
    assert extract.references == sorted(extract.references, key=lambda reference: reference.line), path
    for reference in extract.references:
        assert 1 <= reference.line <= lines and reference.kind in REFERENCE_KINDS and reference.name, (path, reference)
        assert -1 <= reference.scope < len(symbols), (path, reference)
        if reference.scope >= 0:
            symbol = symbols[reference.scope]
            assert symbol.start_line <= reference.line <= symbol.end_line, (path, reference, symbol)


@pytest.mark.parametrize("language", sorted(REAL))
def test_real_code_references_are_plausible_and_within_their_scopes(language):
    root, files, (name, kind, qualifier) = REAL[language]
    if not root.exists():
        pytest.skip(f"{root} is missing")
    found: set[tuple[str, str, str]] = set()
    total_lines = total_references = 0
    for path, source in files().items():
        try:
            extract = read_source(language_of(path) or language, path, source)
        except SkipFile:
            continue
        _check_sound(path, source, extract)
        total_lines += source.count(b"\n") + 1
        total_references += len(extract.references)
        found.update((reference.name, reference.kind, reference.qualifier) for reference in extract.references)
    assert total_lines > 500
    # Code uses a name every few lines: far fewer would mean patterns that do not match,
    # far more a pattern that matches what is no use.
    assert total_lines / 50 < total_references < total_lines * 3, (total_references, total_lines)
    assert (name, kind, qualifier) in found
