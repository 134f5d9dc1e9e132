"""The tree-sitter language readers on small trees written here, whose right
answers are known: symbols with their qualified names, kinds, lines,
parameters, complexity and nesting; doc comments; import edges; recovery
from syntax errors; and the choice between C and C++ for a header."""

from __future__ import annotations

import posixpath
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from quibra.tree.languages import LANGUAGES, language_of, read_source, resolve_edges
from quibra.tree.languages.model import SkipFile, Symbol

# The host's tests: the sanitizer build of the engine skips them (tools/sanitize).
pytestmark = pytest.mark.host

TREE_SITTER_LANGUAGES = sorted(LANGUAGES)
SAMPLE_PATH = {
    "python": "a.py",
    "javascript": "a.js",
    "typescript": "a.ts",
    "go": "a.go",
    "rust": "a.rs",
    "java": "A.java",
    "c": "a.c",
    "cpp": "a.cc",
}


def read(path: str, source: str) -> dict[str, Symbol]:
    language = language_of(path)
    assert language is not None
    extract = read_source(language, path, textwrap.dedent(source).lstrip("\n").encode())
    return {symbol.qualname: symbol for symbol in extract.symbols}


def facts(symbol: Symbol) -> tuple[str, int, int, int, int, int]:
    """(kind, line, start_line, param_count, cyclomatic, max_nesting)"""
    return (symbol.kind, symbol.line, symbol.start_line, symbol.param_count, symbol.cyclomatic, symbol.max_nesting)


GO = """
package server

import "fmt"

// Server serves.
type Server[K comparable] struct {
	addr string
}

// ListenAndServe listens.
//
//go:noinline
func (srv *Server[K]) ListenAndServe(a, b int, rest ...string) error {
	if a > 0 && b > 0 {
		for i := range rest {
			switch i {
			case 0:
				fmt.Println(i)
			case 1, 2:
			default:
			}
		}
	} else if b < 0 || a < 0 {
		return nil
	}
	handle := func() {
		if a == 1 {
		}
	}
	handle()
	return nil
}

type Reader interface {
	Read(p []byte) (n int, err error)
}

func (Server[K]) Close() {}

func Helper() {}
"""

RUST = """
//! The crate.

/// A requirement.
#[derive(Debug)]
pub struct VersionReq {
    comparators: Vec<u8>,
}

impl VersionReq {
    /// Parses text.
    pub fn parse(text: &str) -> Result<Self, ()> {
        match text {
            "" => Err(()),
            "*" => Ok(VersionReq { comparators: vec![] }),
            _ => {
                if text.len() > 1 && text.starts_with('>') {
                    return Err(());
                }
                Ok(VersionReq { comparators: vec![] })
            }
        }
    }
}

impl fmt::Display for VersionReq {
    fn fmt(&self, formatter: &mut fmt::Formatter) -> fmt::Result {
        let helper = |x: u8| { if x > 0 { 1 } else { 0 } };
        fn inner() {}
        Ok(())
    }
}

pub trait Matcher {
    fn matches(&self, version: &str) -> bool;
}

mod outer {
    pub mod inner {
        pub enum Op { Exact, Greater }
        pub fn run() {}
    }
}
"""

JAVA = """
package com.example;

import java.util.List;

/**
 * The outer class.
 */
public class Outer {
    /** An inner one. */
    static class Inner {
        Inner(int size) {}

        /**
         * Runs it.
         * @param items what to run
         */
        @Override
        public int run(List<String> items, String... more) {
            for (String item : items) {
                if (item == null || item.isEmpty()) {
                    continue;
                }
            }
            switch (more.length) {
                case 0: return 0;
                case 1: return 1;
                default: return more.length > 2 ? 2 : 3;
            }
        }
    }

    interface Visitor {
        void visit(Object node);
    }

    enum Color { RED; int code() { return 1; } }
}
"""

TYPESCRIPT = """
import { a } from "./a";

/** Parses a version. */
export const parse = (version: string, options?: object): string => {
    return version ? version : "";
};

/**
 * The outer class.
 */
export default class Outer {
    @decorated
    static method(a = 1, ...rest: number[]) {
        if (a ?? rest) {
            try {
                rest.forEach((x) => { if (x) { } });
            } catch (e) {
            }
        }
    }
    handler = (event: Event) => {};
}

interface Shape {
    area(scale: number): number;
}

namespace Geometry {
    export function distance(a: number, b: number) { return a - b; }
}

enum Direction { Up, Down }

function outer() {
    function inner(x) { switch (x) { case 1: break; case 2: break; default: } }
}
"""

JAVASCRIPT = """
const { join } = require("./path");

/**
 * Builds a thing.
 * @param {string} name
 */
function build(name, options) {
    return name && options ? join(name) : null;
}

class Builder {
    /** Starts it. */
    start() {
        while (this.running) {
            if (this.done) { break; }
        }
    }
    static create = function () {};
}

Builder.prototype.stop = function (force) {
    if (force) { return; }
};

exports.helper = async (a, b, c) => a;
"""

C = """
#include "util.h"

/* Adds two numbers.
   Returns their sum. */
static int
add (int a, int b)
{
  if (a > 0 && b > 0)
    {
      for (int i = 0; i < a; i++)
        {
          switch (i)
            {
            case 1: break;
            case 2: break;
            default: break;
            }
        }
    }
  return a > b ? a : b;
}

// Frees memory.
// Never fails.
void release(void);

char *name_of(int id, ...);

typedef struct {
  int x;
} point;

struct node { int value; };

enum color { RED, GREEN };
"""

CPP = """
#include <vector>

namespace geo {

// A shape.
class Shape : public Base {
 public:
  /// Area of it.
  virtual double area(double scale) const { return scale > 0 ? 1.0 : 0.0; }
  void move(int dx, int dy);
  ~Shape();
  struct Point { int x; };
};

}  // namespace geo

/* Moves it. */
template <typename T>
void geo::Shape::move(int dx, int dy) {
  for (auto step : steps) {
    try {
      if (dx) {}
    } catch (const std::exception& error) {
    }
  }
}

geo::Shape::~Shape() {}

bool operator==(const geo::Shape& a, const geo::Shape& b) { return true; }

namespace util { int helper(); }
int util::helper() { return 0; }
"""

# (qualname, (kind, line, start_line, param_count, cyclomatic, max_nesting))
SYMBOLS = {
    "go": (
        "a.go",
        GO,
        [
            ("Server", ("struct", 6, 5, 0, 1, 0)),
            # if, &&, for, 2 cases, else-if, ||, the closure's if: 9; the closure's block is a level.
            ("Server.ListenAndServe", ("method", 13, 10, 3, 9, 3)),
            ("Reader", ("interface", 34, 34, 0, 1, 0)),
            ("Reader.Read", ("method", 35, 35, 1, 1, 0)),
            ("Server.Close", ("method", 38, 38, 0, 1, 0)),
            ("Helper", ("function", 40, 40, 0, 1, 0)),
        ],
    ),
    "rust": (
        "a.rs",
        RUST,
        [
            ("VersionReq", ("struct", 5, 3, 0, 1, 0)),
            # three arms are two choices, then if and &&.
            ("VersionReq::parse", ("method", 11, 10, 1, 5, 2)),
            # The closure's `if` counts here; `inner` is a symbol of its own.
            ("VersionReq::fmt", ("method", 26, 26, 2, 2, 2)),
            ("VersionReq::fmt::inner", ("function", 28, 28, 0, 1, 0)),
            ("Matcher", ("trait", 33, 33, 0, 1, 0)),
            ("Matcher::matches", ("method", 34, 34, 2, 1, 0)),
            ("outer::inner::Op", ("enum", 39, 39, 0, 1, 0)),
            ("outer::inner::run", ("function", 40, 40, 0, 1, 0)),
        ],
    ),
    "java": (
        "A.java",
        JAVA,
        [
            ("Outer", ("class", 8, 5, 0, 1, 0)),
            ("Outer.Inner", ("class", 10, 9, 0, 1, 0)),
            ("Outer.Inner.Inner", ("method", 11, 11, 1, 1, 0)),
            # for, if, ||, two case labels, ?: = 7; the if's block inside the for's is level 2.
            ("Outer.Inner.run", ("method", 18, 13, 2, 7, 2)),
            ("Outer.Visitor", ("interface", 32, 32, 0, 1, 0)),
            ("Outer.Visitor.visit", ("method", 33, 33, 1, 1, 0)),
            ("Outer.Color", ("enum", 36, 36, 0, 1, 0)),
            ("Outer.Color.code", ("method", 36, 36, 0, 1, 0)),
        ],
    ),
    "typescript": (
        "a.ts",
        TYPESCRIPT,
        [
            ("parse", ("function", 4, 3, 2, 2, 0)),
            ("Outer", ("class", 11, 8, 0, 1, 0)),
            # if, ??, catch, the arrow's if = 5; if > try > arrow > if: 4 levels.
            ("Outer.method", ("method", 13, 12, 2, 5, 4)),
            ("Outer.handler", ("method", 21, 21, 1, 1, 0)),
            ("Shape", ("interface", 24, 24, 0, 1, 0)),
            ("Shape.area", ("method", 25, 25, 1, 1, 0)),
            ("Geometry.distance", ("function", 29, 29, 2, 1, 0)),
            ("Direction", ("enum", 32, 32, 0, 1, 0)),
            ("outer", ("function", 34, 34, 0, 1, 0)),
            ("outer.inner", ("function", 35, 35, 1, 3, 1)),
        ],
    ),
    "javascript": (
        "a.js",
        JAVASCRIPT,
        [
            ("build", ("function", 7, 3, 2, 3, 0)),
            ("Builder", ("class", 11, 11, 0, 1, 0)),
            ("Builder.start", ("method", 13, 12, 0, 3, 2)),
            ("Builder.create", ("method", 18, 18, 0, 1, 0)),
            ("Builder.stop", ("method", 21, 21, 1, 2, 1)),
            ("helper", ("function", 25, 25, 3, 1, 0)),
        ],
    ),
    "c": (
        "a.c",
        C,
        [
            # if, &&, for, two cases with a value, ?: = 7; if > for > switch.
            ("add", ("function", 6, 3, 2, 7, 3)),
            ("release", ("function", 25, 23, 0, 1, 0)),
            ("name_of", ("function", 27, 27, 2, 1, 0)),
            ("point", ("struct", 31, 29, 0, 1, 0)),
            ("node", ("struct", 33, 33, 0, 1, 0)),
            ("color", ("enum", 35, 35, 0, 1, 0)),
        ],
    ),
    "cpp": (
        "a.cc",
        CPP,
        [
            ("geo::Shape", ("class", 6, 5, 0, 1, 0)),
            ("geo::Shape::area", ("method", 9, 8, 1, 2, 0)),
            ("geo::Shape::move", ("method", 10, 10, 2, 1, 0)),
            ("geo::Shape::~Shape", ("method", 11, 11, 0, 1, 0)),
            ("geo::Shape::Point", ("struct", 12, 12, 0, 1, 0)),
            # range for, if, catch = 4; for > try > if.
            ("geo::Shape::move", ("method", 19, 17, 2, 4, 3)),
            ("geo::Shape::~Shape", ("method", 28, 28, 0, 1, 0)),
            ("operator==", ("function", 30, 30, 2, 1, 0)),
            ("util::helper", ("function", 32, 32, 0, 1, 0)),
            ("util::helper", ("function", 33, 33, 0, 1, 0)),
        ],
    ),
}


def all_symbols(path: str, source: str) -> list[Symbol]:
    language = language_of(path)
    assert language is not None
    return read_source(language, path, textwrap.dedent(source).lstrip("\n").encode()).symbols


@pytest.mark.parametrize("language", sorted(SYMBOLS))
def test_symbols_have_qualified_names_kinds_lines_and_metrics(language):
    path, source, expected = SYMBOLS[language]
    found = [(symbol.qualname, facts(symbol)) for symbol in all_symbols(path, source)]
    for entry in expected:
        assert entry in found, f"{entry} not among {found}"


@pytest.mark.parametrize("language", sorted(SYMBOLS))
def test_symbols_nest_inside_their_lines(language):
    path, source, _ = SYMBOLS[language]
    for symbol in all_symbols(path, source):
        assert symbol.start_line <= symbol.line <= symbol.end_line
        assert symbol.qualname.endswith(symbol.name)
        assert symbol.cyclomatic >= 1 and symbol.max_nesting >= 0


DOCS = [
    ("a.go", GO, "Server", "Server serves."),
    ("a.go", GO, "Server.ListenAndServe", "ListenAndServe listens."),
    ("a.go", GO, "Helper", ""),
    ("a.rs", RUST, "VersionReq", "A requirement."),
    ("a.rs", RUST, "VersionReq::parse", "Parses text."),
    ("a.rs", RUST, "VersionReq::fmt", ""),
    ("A.java", JAVA, "Outer", "The outer class."),
    ("A.java", JAVA, "Outer.Inner", "An inner one."),
    ("A.java", JAVA, "Outer.Inner.run", "Runs it.\n@param items what to run"),
    ("a.ts", TYPESCRIPT, "parse", "Parses a version."),
    ("a.ts", TYPESCRIPT, "Outer", "The outer class."),
    ("a.js", JAVASCRIPT, "build", "Builds a thing.\n@param {string} name"),
    ("a.js", JAVASCRIPT, "Builder.start", "Starts it."),
    ("a.c", C, "add", "Adds two numbers.\nReturns their sum."),
    ("a.c", C, "release", "Frees memory.\nNever fails."),
    ("a.cc", CPP, "geo::Shape", "A shape."),
    ("a.cc", CPP, "geo::Shape::area", "Area of it."),
    # A Javadoc or JSDoc block documents what follows it across blank lines,
    # as long as nothing else stands between; a Go comment does not.
    ("A.java", "/**\n * A sorted map.\n */\n\n\npublic class Tree {\n}\n", "Tree", "A sorted map."),
    ("A.java", "/** The first. */\nint first;\n\nvoid second() {}\n", "second", ""),
    ("A.java", "/** Not this. */\n\n// a note\nclass Noted {}\n", "Noted", ""),
    ("a.ts", "/** Parses it. */\n\nexport function parse(): void {}\n", "parse", "Parses it."),
    ("a.ts", "/* plain */\n\nfunction plain(): void {}\n", "plain", ""),
    ("a.go", "package a\n\n// Apart from it.\n\nfunc Apart() {}\n", "Apart", ""),
]


@pytest.mark.parametrize(("path", "source", "qualname", "docstring"), DOCS, ids=[f"{d[0]}:{d[2]}" for d in DOCS])
def test_doc_comments_lose_their_markers(path, source, qualname, docstring):
    symbols = [symbol for symbol in all_symbols(path, source) if symbol.qualname == qualname]
    assert symbols and symbols[0].docstring == docstring


SIGNATURES = [
    ("a.go", GO, "Server.ListenAndServe", "func (srv *Server[K]) ListenAndServe(a, b int, rest ...string) error"),
    ("a.go", GO, "Server", "type Server[K comparable] struct"),
    ("a.rs", RUST, "VersionReq::parse", "pub fn parse(text: &str) -> Result<Self, ()>"),
    ("a.ts", TYPESCRIPT, "parse", "export const parse = (version: string, options?: object): string =>"),
    ("a.c", C, "add", "static int add (int a, int b)"),
    ("a.cc", CPP, "geo::Shape", "class Shape : public Base"),
]


@pytest.mark.parametrize(("path", "source", "qualname", "signature"), SIGNATURES, ids=[s[2] for s in SIGNATURES])
def test_signature_is_the_head_on_one_line(path, source, qualname, signature):
    assert read(path, source)[qualname].signature == signature


# Syntax errors: the readable parts of a broken file still come through.
BROKEN = [
    ("a.go", "package a\n\nfunc Good() int { return 1 }\n\nfunc Bad( {\n\nfunc Later() {}\n", "Good"),
    ("a.rs", "fn good() -> u8 { 1 }\n\nfn bad( {\n", "good"),
    ("A.java", "class A { void good() {} void bad( { }\n", "A.good"),
    ("a.ts", "function good(): number { return 1; }\nfunction bad( {\n", "good"),
    ("a.js", "function good() { return 1; }\nclass { ]]\n", "good"),
    ("a.c", "int good(void) { return 1; }\nint bad( {\n", "good"),
    ("a.cc", "int good() { return 1; }\nclass X { void f( };\n", "good"),
]


@pytest.mark.parametrize(("path", "source", "qualname"), BROKEN, ids=[b[0] for b in BROKEN])
def test_syntax_errors_keep_what_parses(path, source, qualname):
    assert qualname in read(path, source)


@pytest.mark.parametrize("language", TREE_SITTER_LANGUAGES)
@settings(max_examples=100)
@given(source=st.binary(max_size=400) | st.text(alphabet="{}()[];:<>=&|?!#\"'/\\*\n abcif", max_size=400).map(str.encode))
def test_any_bytes_give_symbols_or_a_skip(language, source):
    try:
        extract = read_source(language, SAMPLE_PATH[language], source)
    except SkipFile:
        return
    for symbol in extract.symbols:
        assert 1 <= symbol.start_line <= symbol.line <= symbol.end_line


HEADER_CASES = [
    ("struct point { int x; };\nint distance(struct point *a);\n", "c", "distance"),
    ('#ifdef __cplusplus\nextern "C" {\n#endif\nint plain(void);\n#ifdef __cplusplus\n}\n#endif\n', "c", "plain"),
    ("namespace geo {\nclass Shape {\n public:\n  int area() const;\n};\n}\n", "cpp", "geo::Shape::area"),
    ("#include <vector>\ntemplate <typename T> T twice(T x) { return x + x; }\n", "cpp", "twice"),
]


@pytest.mark.parametrize(("source", "read_as", "qualname"), HEADER_CASES)
def test_header_is_cpp_only_when_its_text_shows_it(source, read_as, qualname):
    symbols = read("x.h", source)
    assert qualname in symbols
    # C++ qualifies with "::", C never does; a C++ reading of a C header would still find the function.
    if read_as == "cpp":
        assert any("::" in name for name in symbols) or "template" in source


def test_a_missing_grammar_costs_its_language_only():
    script = textwrap.dedent(
        """
        import sys
        sys.modules["tree_sitter_go"] = None  # as if the grammar package were not installed
        from quibra.tree.languages import LanguageUnavailable, read_source
        try:
            read_source("go", "a.go", b"package a")
        except LanguageUnavailable as error:
            print(error)
        print(len(read_source("rust", "a.rs", b"fn f() {}").symbols))
        """
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    message, rust_symbols = done.stdout.splitlines()
    assert message.startswith("cannot load the go reader: ") and "tree_sitter_go" in message
    assert rust_symbols == "1"


# Import edges, on trees written to disk.


def write_tree(root: Path, files: dict[str, str]) -> None:
    for path, content in files.items():
        target = root / path
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text(textwrap.dedent(content).lstrip("\n"))


def edges_of(root: Path) -> set[tuple[str, str]]:
    paths = frozenset(str(path.relative_to(root)) for path in root.rglob("*") if path.is_file())
    imports: dict[str, dict[str, list[object]]] = {}
    for path in paths:
        language = language_of(path)
        if language is not None:
            extract = read_source(language, path, (root / path).read_bytes())
            imports.setdefault(language, {})[path] = extract.imports
    return set(resolve_edges(root, imports, paths))


EDGE_TREES = {
    "go-module-vendor-and-tests": (
        {
            "go.mod": "module example.com/shop\n\ngo 1.21\n",
            "cmd/main.go": 'package main\nimport (\n\t"example.com/shop/store"\n\t"golang.org/x/text"\n\t"fmt"\n)\n',
            "store/store.go": "package store\n",
            "store/cache.go": "package store\n",
            "store/store_test.go": 'package store\nimport "example.com/shop/cmd"\n',
            "store/inner/deep.go": "package inner\n",
            "vendor/golang.org/x/text/text.go": "package text\n",
            "tools/go.mod": "module example.com/tools\n",
            "tools/gen.go": 'package tools\nimport "example.com/shop/store/inner"\n',
        },
        {
            ("cmd/main.go", "store/store.go"),
            ("cmd/main.go", "store/cache.go"),
            ("cmd/main.go", "vendor/golang.org/x/text/text.go"),
            # A test file imports like any other, but no import leads to one.
            ("store/store_test.go", "cmd/main.go"),
            ("tools/gen.go", "store/inner/deep.go"),
        },
    ),
    "go-std-bare-paths": (
        {
            "src/go.mod": "module std\n",
            "src/net/http/server.go": 'package http\nimport "internal/poll"\n',
            "src/internal/poll/fd.go": "package poll\n",
        },
        {("src/net/http/server.go", "src/internal/poll/fd.go")},
    ),
    "rust-modules-and-use-paths": (
        {
            "src/lib.rs": "mod parse;\nmod outer {\n    pub mod inner;\n}\npub use crate::parse::Parser;\n",
            "src/parse.rs": "mod lexer;\nuse super::outer::inner::Token;\nuse self::lexer::{Lexer, Mode};\n",
            "src/parse/lexer.rs": "use crate::outer::inner::*;\nuse std::fmt;\n",
            "src/outer/inner.rs": "use crate::Thing;\n",
            "tests/it.rs": "mod common;\nuse crate::common::setup;\n",
            "tests/common/mod.rs": "pub fn setup() {}\n",
        },
        {
            ("src/lib.rs", "src/parse.rs"),
            ("src/lib.rs", "src/outer/inner.rs"),
            ("src/parse.rs", "src/parse/lexer.rs"),
            ("src/parse.rs", "src/outer/inner.rs"),
            ("src/parse/lexer.rs", "src/outer/inner.rs"),
            ("src/outer/inner.rs", "src/lib.rs"),
            ("tests/it.rs", "tests/common/mod.rs"),
        },
    ),
    "typescript-paths-index-and-dynamic-imports": (
        {
            "tsconfig.json": """
                {
                  // comments and trailing commas, as tsc allows
                  "compilerOptions": {
                    "baseUrl": "src",
                    "paths": { "@app/*": ["app/*"], "config": ["settings/config.ts"], },
                  },
                }
                """,
            "src/main.ts": """
                import { start } from "@app/start";
                import config from "config";
                import "./polyfill.js";
                export * from "./models";
                const lazy = await import("./lazy");
                import { readFile } from "fs";
                import { util } from "lib/util";
                """,
            "src/app/start.tsx": "export const start = 1;\n",
            "src/settings/config.ts": "export default {};\n",
            "src/polyfill.ts": "export {};\n",
            "src/models/index.ts": "export type M = 1;\n",
            "src/lazy.js": "module.exports = require('./legacy.cjs');\n",
            "src/legacy.cjs": "exports.x = 1;\n",
            "src/lib/util.d.ts": "export declare const util: number;\n",
        },
        {
            ("src/main.ts", "src/app/start.tsx"),
            ("src/main.ts", "src/settings/config.ts"),
            ("src/main.ts", "src/polyfill.ts"),
            ("src/main.ts", "src/models/index.ts"),
            ("src/main.ts", "src/lazy.js"),
            ("src/main.ts", "src/lib/util.d.ts"),
            ("src/lazy.js", "src/legacy.cjs"),
        },
    ),
    "java-imports-and-same-package": (
        {
            "src/main/java/com/shop/Store.java": """
                package com.shop;
                import com.shop.model.Item;
                import com.shop.util.*;
                import static com.shop.util.Strings.trim;
                import java.util.List;
                class Store { Cart cart; List<Item> items; Money total; }
                """,
            "src/main/java/com/shop/Cart.java": "package com.shop;\nclass Cart {}\n",
            "src/main/java/com/shop/Unused.java": "package com.shop;\nclass Unused {}\n",
            "src/main/java/com/shop/model/Item.java": "package com.shop.model;\npublic class Item {}\n",
            "src/main/java/com/shop/util/Money.java": "package com.shop.util;\npublic class Money {}\n",
            "src/main/java/com/shop/util/Strings.java": "package com.shop.util;\npublic class Strings {}\n",
            "src/main/java/com/shop/util/Other.java": "package com.shop.util;\npublic class Other {}\n",
            "src/test/java/com/shop/StoreTest.java": "package com.shop;\nclass StoreTest { Store store; }\n",
        },
        {
            ("src/main/java/com/shop/Store.java", "src/main/java/com/shop/Cart.java"),
            ("src/main/java/com/shop/Store.java", "src/main/java/com/shop/model/Item.java"),
            ("src/main/java/com/shop/Store.java", "src/main/java/com/shop/util/Money.java"),
            ("src/main/java/com/shop/Store.java", "src/main/java/com/shop/util/Strings.java"),
            ("src/test/java/com/shop/StoreTest.java", "src/main/java/com/shop/Store.java"),
        },
    ),
    "c-include-folders": (
        {
            "include/shop/store.h": '#include "shop/item.h"\nint store_open(void);\n',
            "include/shop/item.h": "struct item { int id; };\n",
            "src/store.c": '#include "shop/store.h"\n#include "internal.h"\n#include <stdio.h>\n#include "lib/log.h"\n',
            "src/internal.h": "#include <shop/item.h>\n",
            "lib/log.h": "void log_line(const char *line);\n",
            "tests/test_store.cpp": '#include "../src/internal.h"\n#include "shop/store.h"\n',
        },
        {
            ("include/shop/store.h", "include/shop/item.h"),
            ("src/store.c", "include/shop/store.h"),
            ("src/store.c", "src/internal.h"),
            ("src/store.c", "lib/log.h"),
            ("src/internal.h", "include/shop/item.h"),
            ("tests/test_store.cpp", "src/internal.h"),
            ("tests/test_store.cpp", "include/shop/store.h"),
        },
    ),
}


@pytest.mark.parametrize("case", sorted(EDGE_TREES))
def test_imports_resolve_to_files_of_the_tree(tmp_path, case):
    files, expected = EDGE_TREES[case]
    write_tree(tmp_path, files)
    assert edges_of(tmp_path) == expected


def _searched_include(importer: str, kind: str, header: str, paths: frozenset[str]) -> str | None:
    """The file a C include names, stated directly: the folders searched in
    order (for a quoted include its own folder first, then every `include`
    folder of the tree, those sharing more of its path first, then for a
    quoted include each folder above it), the first that holds the file wins."""
    folder = posixpath.dirname(importer)
    include_folders = sorted(
        {"/".join(path.split("/")[: depth + 1]) for path in paths for depth, part in
         enumerate(path.split("/")[:-1]) if part == "include"}
    )

    def shared(one: str) -> int:
        count = 0
        for a, b in zip(one.split("/"), folder.split("/")):
            if a != b:
                break
            count += 1
        return count

    bases = sorted(include_folders, key=lambda include: -shared(include))
    if kind != "system":
        above = []
        parent = folder
        while parent:
            parent = posixpath.dirname(parent)
            above.append(parent)
        bases = [folder, *bases, *above]
    for base in bases:
        candidate = posixpath.normpath(posixpath.join(base, header))
        if candidate in paths:
            return candidate
    return None


_FOLDERS = st.lists(st.sampled_from(["include", "src", "a", "b", "linux"]), max_size=3)
_TREE_PATHS = st.lists(
    st.tuples(_FOLDERS, st.sampled_from(["x.h", "y.h"])).map(lambda parts: "/".join([*parts[0], parts[1]])),
    min_size=1,
    max_size=12,
)
_HEADERS = st.lists(st.sampled_from(["include", "a", "b", "linux", "x.h", "y.h", "..", ".", ""]), min_size=1,
                    max_size=4).map("/".join)


@settings(max_examples=300, deadline=None)
@given(_TREE_PATHS, st.lists(st.tuples(st.sampled_from(["local", "system"]), _HEADERS), max_size=6), st.data())
def test_an_include_finds_the_first_file_the_search_order_reaches(tree_paths, includes, data):
    paths = frozenset(tree_paths)
    importer = data.draw(st.sampled_from(sorted(paths)))
    expected = {
        (importer, target)
        for kind, header in includes
        if header
        for target in [_searched_include(importer, kind, header, paths)]
        if target not in (None, importer)
    }
    imports = {"c": {importer: [[kind, header] for kind, header in includes]}}
    assert set(resolve_edges(Path("/nonexistent"), imports, paths)) == expected


def test_a_broken_tsconfig_leaves_relative_imports_working(tmp_path):
    write_tree(
        tmp_path,
        {"tsconfig.json": "{ not json", "a.ts": 'import "./b";\nimport "@x/y";\n', "b.ts": "export {};\n"},
    )
    assert edges_of(tmp_path) == {("a.ts", "b.ts")}


@pytest.mark.parametrize(
    ("path", "language"),
    [("a.mjs", "javascript"), ("a.cjs", "javascript"), ("a.jsx", "javascript"), ("a.tsx", "typescript"),
     ("a.mts", "typescript"), ("a.h", "c"), ("a.hpp", "cpp"), ("a.cxx", "cpp"), ("a.rs", "rust"),
     ("A.PY", "python"), ("x.y/a.go", "go"),
     # A name that is only a suffix names no language, at the root or below it.
     (".py", None), ("src/.py", None), ("x.py/README", None), ("a.", None)],
)
def test_suffixes_name_their_language(path, language):
    assert language_of(path) == language


def test_tsx_reads_with_the_tsx_grammar():
    symbols = read("a.tsx", "export function View(props: Props) {\n  return <div>{props.x ? 1 : 2}</div>;\n}\n")
    assert facts(symbols["View"]) == ("function", 1, 1, 1, 2, 0)


# Lodash's way, and the way of many modules: a function of the module made by
# a call from the function it passes. Values made by a call that passes none,
# and calls inside a function, are values, not functions of the module.
MADE_FUNCTIONS = """
var flatRest = require('./_flatRest');

/**
 * The opposite of `_.pick`.
 *
 * @param {Object} object The source object.
 * @returns {Object} Returns the new object.
 */
var omit = flatRest(function(object, paths) {
  if (object == null) {
    return {};
  }
  return paths;
});

/**
 * Creates a function that invokes the given functions in turn.
 * @returns {Function} Returns the new composite function.
 */
var flow = createFlow();

var app = express();

function outer() {
  const doubled = items.map(function (x) { return x * 2; });
  return doubled;
}

export const handler = wrap(async (event, context) => event);

module.exports = omit;
"""


@pytest.mark.parametrize("path", ["a.js", "a.ts"])
def test_a_function_made_by_a_call_from_the_function_it_passes_is_a_function_of_the_module(path):
    symbols = read(path, MADE_FUNCTIONS)
    assert sorted(symbols) == ["handler", "omit", "outer"]
    assert facts(symbols["omit"]) == ("function", 9, 3, 2, 2, 1)
    assert symbols["omit"].docstring.startswith("The opposite of `_.pick`.")
    assert symbols["omit"].signature == "var omit = flatRest(function(object, paths)"
    assert facts(symbols["handler"])[:4] == ("function", 29, 29, 2)
