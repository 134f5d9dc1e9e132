"""The rules that resolve references beyond a name's place, on a small tree
of C, Java, Go, Rust, JavaScript and TypeScript written out below: a C prototype stands
for its definition, Java calls reach inherited members, static imports and
the overload their arguments fit, a Go receiver's type picks its method, a
path may start with another crate's name, a JavaScript import may rename what
it takes from a package of the tree. A refresh after an edit that moves
what these rules read resolves exactly as a fresh build does."""

from __future__ import annotations

import pytest
import quibra as api
from helpers import edited_and_fresh, stored_references, write_tree
from quibra.index.resolve import parameter_type
from quibra.tree.languages import language_of, read_source
from test_references_golden import _resolved

pytestmark = pytest.mark.host

TREE = {
    "c/table.h": """\
        int lookup(int key);
        void fail(void);
        """,
    "c/table.c": """\
        #include "table.h"
        int lookup(int key) { return key; }
        """,
    "c/fail.c": """\
        void fail(void) { }
        """,
    "c/use.c": """\
        #include "table.h"
        static int twice(int x) { return 2 * x; }
        int main(void) { fail(); return twice(lookup(1)); }
        """,
    "j/p/Base.java": """\
        package p;
        class Base {
            int get(int a) { return a; }
            int get(int a, int b) { return a + b; }
        }
        """,
    "j/p/Child.java": """\
        package p;
        class Child extends Base {
            int f() { return get(1) + get(1, 2); }
        }
        """,
    "j/q/Util.java": """\
        package q;
        public class Util {
            public static int twice(int x) { return 2 * x; }
        }
        """,
    "j/p/Use.java": """\
        package p;
        import static q.Util.twice;
        class Use {
            int g() { return twice(2); }
        }
        """,
    "go.mod": "module example.com/m\n",
    "g/server.go": """\
        package g

        type Server struct{}
        type Client struct{}

        func Serve() {}
        func (s *Server) Serve() {}
        func (c *Client) Serve() {}
        func (s *Server) Run() { s.Serve() }
        func start(c *Client) { c.Serve() }
        """,
    "r/alpha/Cargo.toml": '[package]\nname = "alpha-core"\nversion = "0.1.0"\n',
    "r/alpha/src/lib.rs": "pub struct Thing;\n",
    "r/beta/Cargo.toml": '[package]\nname = "beta"\nversion = "0.1.0"\n',
    "r/beta/src/lib.rs": "use alpha_core::Thing;\npub fn make() -> Thing { Thing }\n",
    "r/beta/src/other.rs": "pub struct Thing;\n",
    "t/shape.d.ts": "declare class Shape { area(): number; }\nexport = Shape;\n",
    "t/use.ts": "import Shape = require('./shape');\nexport function measure(s: Shape): number { return s.area(); }\n",
    "w/pkg-a/package.json": '{"name": "pkg-a", "module": "src/index.js"}\n',
    "w/pkg-a/src/index.js": 'export {default as range} from "./range.js";\n',
    "w/pkg-a/src/range.js": "export default function range(n) { return n; }\n",
    "w/app/range.js": "export function range(n) { return -n; }\n",
    "w/app/main.js": 'import {range as seq} from "pkg-a";\nexport function run() { return seq(3); }\n',
}

# (use path, line, name) -> the definition it means (path, line), by hand.
EXPECTED = {
    ("c/use.c", 3, "lookup"): ("c/table.c", 2),  # the prototype stands for the definition beside it
    ("c/use.c", 3, "fail"): ("c/fail.c", 1),  # ... and for one in a file of another name
    ("c/use.c", 3, "twice"): ("c/use.c", 2),
    ("j/p/Child.java", 3, "get"): [("j/p/Base.java", 3), ("j/p/Base.java", 4)],  # inherited, by arguments
    ("j/p/Use.java", 4, "twice"): ("j/q/Util.java", 3),  # a static import
    ("g/server.go", 9, "Serve"): ("g/server.go", 7),  # through the method's receiver
    ("g/server.go", 10, "Serve"): ("g/server.go", 8),  # through a parameter
    ("r/beta/src/lib.rs", 1, "Thing"): ("r/alpha/src/lib.rs", 1),  # a path that starts with a crate's name
    ("t/use.ts", 1, "Shape"): ("t/shape.d.ts", 1),  # import x = require(...)
    ("t/use.ts", 2, "area"): ("t/shape.d.ts", 1),  # through a typed parameter
    ("w/app/main.js", 2, "range"): ("w/pkg-a/src/range.js", 1),  # renamed, from a package, through its index
}


@pytest.fixture
def tree(tmp_path):
    root = tmp_path / "tree"
    write_tree(root, TREE)
    return root


def _best(targets: list[tuple[float, str, int]]) -> list[tuple[str, int]]:
    best = max(weight for weight, _path, _line in targets)
    return [(path, line) for weight, path, line in targets if weight == best]


def test_each_use_resolves_to_the_definition_it_means(tree, tmp_path):
    index_file = tmp_path / "index.sqlite"
    with api.Index(tree, index_file=index_file, jobs=1) as index:
        index.refresh()
    resolved = _resolved(index_file)
    for (path, line, name), meant in EXPECTED.items():
        uses = [targets for _qualifier, targets in resolved[(path, line, name)]]
        expected = meant if isinstance(meant, list) else [meant] * len(uses)
        assert [_best(targets) for targets in uses] == [[definition] for definition in expected], (path, line, name)


@pytest.mark.parametrize(
    ("path", "old", "new"),
    [
        ("c/table.c", "int lookup(", "int find("),  # the prototype loses its definition
        ("c/fail.c", "void fail(void) { }", "static void fail(void) { }"),  # ... to a static function
        ("j/p/Base.java", "    int get(int a) { return a; }\n", ""),  # an overload goes
        ("j/p/Use.java", "import static q.Util.twice;\n", ""),  # the static import goes
        ("g/server.go", "func (s *Server) Run()", "func (s *Client) Run()"),  # the receiver's type changes
        ("r/alpha/Cargo.toml", 'name = "alpha-core"', 'name = "gamma"'),  # the crate is renamed
        ("t/use.ts", "(s: Shape)", "(s: Other)"),  # the parameter's type changes
        ("w/pkg-a/package.json", '"pkg-a"', '"pkg-b"'),  # the package is renamed
        ("w/pkg-a/src/index.js", '"./range.js"', '"./other.js"'),  # the index exports no more range
        ("w/app/main.js", "{range as seq}", "{range as other}"),  # the import names another
    ],
)
def test_a_refresh_after_an_edit_equals_a_fresh_build(tree, tmp_path, path, old, new):
    incremental_file, fresh_file, before = edited_and_fresh(tree, tmp_path, path, old, new)
    after = stored_references(incremental_file)
    assert after == stored_references(fresh_file)
    assert after != before


@pytest.mark.parametrize(
    ("path", "source", "declared", "defined"),
    [
        ("a.c", "int f(void);\nint g(void) { return f(); }\n", {"f"}, {"g"}),
        ("a.cc", "class A { void m(); int n() { return 1; } };\nvoid A::m() {}\n", {"m"}, {"m", "n"}),
        ("A.java", "interface I { void m(); }\nclass A implements I { public void m() {} }\n", {"m"}, {"m"}),
        ("a.go", "package a\ntype I interface { M() }\nfunc F() {}\n", {"M"}, {"F"}),
        ("a.rs", "trait T { fn m(&self); fn n(&self) {} }\n", {"m"}, {"n"}),
        ("a.ts", "interface I { m(): void; }\nfunction f() {}\n", {"m"}, {"f"}),
    ],
)
def test_functions_without_a_body_are_declarations(path, source, declared, defined):
    language = language_of(path)
    assert language is not None
    symbols = [
        symbol for symbol in read_source(language, path, source.encode()).symbols if symbol.kind in ("function", "method")
    ]
    assert {symbol.name for symbol in symbols if symbol.declaration} == declared
    assert {symbol.name for symbol in symbols if not symbol.declaration} == defined


@pytest.mark.parametrize(
    ("signature", "variable", "family", "name", "expected"),
    [
        ("func (srv *Server) ListenAndServe() error", "srv", "go", "ListenAndServe", ("", "Server")),
        ("func refererForURL(lastReq, newReq *url.URL) string", "lastReq", "go", "refererForURL", ("url", "URL")),
        ("func (s *Server[K, V]) Get(ctx context.Context, k K) V", "ctx", "go", "Get", ("context", "Context")),
        ("func f(m map[string]int, xs []T)", "m", "go", "f", None),
        ("boolean batchRemove(Collection<?> c, boolean complement, final int from)", "c", "java", "batchRemove",
         ("", "Collection")),
        ("@SuppressWarnings(\"unchecked\") public <T> T[] toArray(T[] a)", "a", "java", "toArray", ("", "T")),
        ("FilePath FilePath::ConcatPaths(const FilePath& directory, const FilePath& relative_path)", "relative_path",
         "c", "ConcatPaths", ("", "FilePath")),
        ("void record(Hash_table *ht, struct stat const *stats)", "stats", "c", "record", ("", "stat")),
        ("pub(crate) fn matches_req(req: &VersionReq, ver: &'a mut semver::Version) -> bool", "ver", "rust",
         "matches_req", ("semver", "Version")),
        ("fn apply<F: Fn(u8) -> u8>(f: F, n: u8)", "n", "rust", "apply", ("", "u8")),
        ("constructor(private readonly store: Store<Item>, name?: string)", "store", "ecmascript", "constructor",
         ("", "Store")),
        ("function measure(shape: geo.Shape): number", "shape", "ecmascript", "measure", ("geo", "Shape")),
        ("function measure(shape: geo.Shape): number", "other", "ecmascript", "measure", None),
    ],
)
def test_a_signature_gives_the_type_of_its_parameters(signature, variable, family, name, expected):
    assert parameter_type(signature, variable, family, name) == expected


LINEAGE_TREE = {
    "lib/bases.py": "class Mixin:\n    def foo(self):\n        return 1\n\n\nclass Other:\n    def foo(self):\n        return 2\n",
    "lib/base.py": "from lib.bases import Mixin, Other\n\n\nclass Base(Mixin):\n    pass\n",
    "app/child.py": (
        "from lib.base import Base\n\n\nclass Child(Base):\n    def bar(self):\n        return self.foo()\n\n\n"
        "class GrandChild(Child):\n    def baz(self):\n        return self.foo() + self.bar()\n"
    ),
    "j/Mixin.java": "package j;\nclass Mixin { int foo() { return 1; } }\n",
    "j/Other.java": "package j;\nclass Other { int foo() { return 2; } }\n",
    "j/Base.java": "package j;\nclass Base extends Mixin { }\n",
    "j/Child.java": "package j;\nclass Child extends Base { int bar() { return this.foo(); } }\n",
}


@pytest.mark.parametrize(
    ("path", "old", "new"),
    [
        ("lib/base.py", "class Base(Mixin):", "class Base(Other):"),  # a base of a base changes
        ("lib/base.py", "class Base(Mixin):", "class Base:"),  # ... goes
        ("lib/base.py", "class Base(Mixin):\n    pass\n", "class Base2(Mixin):\n    pass\n"),  # the base goes
        ("lib/bases.py", "class Mixin:", "class Mixin(Other):\n    pass\n\n\nclass Unused:"),  # foo moves out
        ("j/Base.java", "extends Mixin", "extends Other"),
    ],
)
def test_a_use_reached_through_a_class_whose_bases_change_is_resolved_again(tmp_path, path, old, new):
    # The uses of foo in the subclasses are not read again, nor is foo's
    # definition changed: only what their classes derive from is.
    root = tmp_path / "tree"
    write_tree(root, LINEAGE_TREE)
    incremental_file, fresh_file, before = edited_and_fresh(root, tmp_path, path, old, new)
    after = stored_references(incremental_file)
    assert after == stored_references(fresh_file)
    assert after != before
