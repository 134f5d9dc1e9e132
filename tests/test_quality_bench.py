"""The retrieval-quality benchmark's own logic: blanking docstrings and doc
comments without moving a line or a symbol, turning them into queries,
finding hand-written answers, the peers' text analysis and how figures are
grouped. (The figures themselves are the benchmark's output, not something a
test pins down.)"""

import ast
import subprocess
import sys
import textwrap
import zipfile
from pathlib import Path

import pytest

import quality
from quality_corpus import (
    CORPORA,
    CorpusError,
    blank_docstrings,
    copy_corpus,
    docstring_queries,
    first_sentence,
    query_from_docstring,
    read_symbols,
    resolve_answer,
    write_blanked_copy,
)
from quality_doc_comments import (
    PACKAGE_CORPORA,
    PackageCorpus,
    PackageMissing,
    blank_doc_comments,
    description,
    doc_comment_queries,
    emptied,
    is_test_path,
    parse,
    query_from_doc_comment,
    reader_symbols,
)
from quality_doc_comments import read_symbols as read_package_symbols
from quality_doc_comments import resolve_answer as resolve_package_answer
from quality_doc_comments import write_blanked_copy as write_blanked_package_copy

# The host's tests: the sanitizer build of the engine skips them (tools/sanitize).
pytestmark = pytest.mark.host

BENCH = Path(__file__).resolve().parent.parent / "bench"

BLANKING_CASES = {
    "module, class, method and nested function": '''\
        """Module docstring
        over two lines."""
        import functools

        @functools.total_ordering
        class Spam:
            """Class docstring."""

            def eggs(self):
                """Method docstring.

                With a second paragraph.
                """
                def inner():
                    """Nested docstring."""
                    return "kept literal"
                return inner()
        ''',
    "docstring on the def line with a statement after it": """\
        def f(): "One-line docstring"; return "kept literal"
        """,
    "implicit concatenation in parentheses": """\
        def f():
            (
                "first part "
                "second part"
            )
            return "kept literal"
        """,
    "backslash continuation and a prefix": '''\
        async def f():
            u"""first part """ \\
            """second part"""
            return "kept literal"
        ''',
    "non-ASCII text before and inside the docstring": """\
        class Ünïcode: "Dölçe docstring"; x = "kept literal é"
        """,
    "string after the first statement is not a docstring": """\
        def f():
            x = 1
            "kept literal"
            return x
        """,
}


def _definitions(source):
    return [
        (node.name, node.lineno, node.end_lineno)
        for node in ast.walk(ast.parse(source))
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef))
    ]


def _docstrings(source):
    module = ast.parse(source)
    owners = [
        module,
        *(n for n in ast.walk(module) if isinstance(n, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef))),
    ]
    return [ast.get_docstring(owner) for owner in owners]


@pytest.mark.parametrize("source", BLANKING_CASES.values(), ids=BLANKING_CASES.keys())
def test_blanking_keeps_lines_and_code_and_empties_every_docstring(source):
    source = textwrap.dedent(source)
    blanked = blank_docstrings(source)
    assert _definitions(blanked) == _definitions(source)
    assert blanked.count("\n") == source.count("\n")
    assert not any(_docstrings(blanked))
    assert "docstring" not in blanked.lower() and "part" not in blanked
    assert blanked.count("kept literal") == source.count("kept literal") == 1


def test_blanked_code_still_runs_the_same():
    source = textwrap.dedent(BLANKING_CASES["docstring on the def line with a statement after it"])
    namespace = {}
    exec(compile(blank_docstrings(source), "<blanked>", "exec"), namespace)
    assert namespace["f"]() == "kept literal" and namespace["f"].__doc__ == ""


def test_blanked_copy_keeps_each_files_encoding_and_line_numbers(tmp_path):
    original = tmp_path / "original"
    original.mkdir()
    latin = '# -*- coding: latin-1 -*-\r\ndef f():\r\n    """Déjà vu\r\n    text."""\r\n    return "café"\r\n'
    (original / "latin.py").write_bytes(latin.encode("latin-1", errors="replace"))
    (original / "notes.txt").write_text("not Python")
    write_blanked_copy(original, tmp_path / "blanked")
    blanked = (tmp_path / "blanked" / "latin.py").read_bytes()
    assert "café".encode("latin-1") in blanked
    assert [symbol.line for symbol in read_symbols(tmp_path / "blanked")] == [2]
    assert (tmp_path / "blanked" / "notes.txt").read_text() == "not Python"


def test_blanked_copy_refuses_a_file_that_does_not_parse(tmp_path):
    (tmp_path / "original").mkdir()
    (tmp_path / "original" / "broken.py").write_text("def f(:\n")
    with pytest.raises(CorpusError, match="broken.py"):
        write_blanked_copy(tmp_path / "original", tmp_path / "blanked")


@pytest.mark.parametrize("corpus", CORPORA, ids=lambda corpus: corpus.name)
def test_every_corpus_of_this_python_blanks_cleanly(corpus, tmp_path):
    copy_corpus(corpus, tmp_path / "original")
    write_blanked_copy(tmp_path / "original", tmp_path / "blanked")
    assert read_symbols(tmp_path / "blanked") == read_symbols(tmp_path / "original")


@pytest.mark.parametrize(
    ("docstring", "sentence"),
    [
        ("Return the sum of a and b.\n\nMore text.", "Return the sum of a and b."),
        ("Return the first\n    line, joined up. Second sentence.", "Return the first line, joined up."),
        ("Split at e.g. commas or i.e. separators. Then more.", "Split at e.g. commas or i.e. separators."),
        ("Is this logger enabled for that level? Yes.", "Is this logger enabled for that level?"),
        ("Call os.stat() on the path and return it\n\nDetails.", "Call os.stat() on the path and return it"),
    ],
)
def test_first_sentence(docstring, sentence):
    assert first_sentence(docstring) == sentence


@pytest.mark.parametrize(
    ("docstring", "accepted"),
    [
        ("Return the parsed value.", True),  # four words
        ("Return parsed value.", False),  # three
        (" ".join(["word"] * 30) + ".", True),
        (" ".join(["word"] * 31) + ".", False),
        ("Return the value -- of ``x`` -- now.", True),  # dashes are not words
        ("add_argument(dest, ..., name=value, ...) and more words", False),
        ("attrtext = 1*(any non-ATTRIBUTE_ENDS character)", False),
        ('message-id = "Message-ID:" msg-id CRLF', False),
    ],
)
def test_query_from_docstring_keeps_prose_of_four_to_thirty_words(docstring, accepted):
    assert (query_from_docstring(docstring) is not None) == accepted


def _write_tree(root, files):
    for path, text in files.items():
        (root / path).parent.mkdir(parents=True, exist_ok=True)
        (root / path).write_text(textwrap.dedent(text))


def test_docstring_queries_come_from_functions_outside_tests_with_one_answer(tmp_path):
    _write_tree(
        tmp_path,
        {
            "pkg/core.py": '''\
                class Box:
                    """A class gives no query of its own."""

                    @staticmethod
                    def open_lid(force):
                        """Open the lid of the box."""

                def shared_one():
                    """Return the shared sentence here."""

                def shared_two():
                    """return the SHARED sentence here."""
                ''',
            "pkg/tests/helpers.py": 'def helper():\n    """Build a box for the tests."""\n',
            "pkg/test_core.py": 'def test_open():\n    """Check that the lid opens."""\n',
        },
    )
    queries = docstring_queries(tmp_path)
    assert [(q.text, q.answer.path, q.answer.qualname, q.answer.line) for q in queries] == [
        ("Open the lid of the box.", "pkg/core.py", "Box.open_lid", 5)
    ]
    assert queries[0].answer.start_line == 4


def test_resolve_answer_finds_module_files_and_every_definition_of_a_qualname(tmp_path):
    _write_tree(
        tmp_path,
        {
            "pkg/__init__.py": "def load():\n    pass\n",
            "pkg/sub/mod.py": textwrap.dedent("""\
                class Thing:
                    @property
                    def size(self):
                        return 1

                    @size.setter
                    def size(self, value):
                        pass
                """),
        },
    )
    symbols = read_symbols(tmp_path)
    assert [(s.path, s.line) for s in resolve_answer("pkg.load", symbols)] == [("pkg/__init__.py", 1)]
    assert [s.line for s in resolve_answer("pkg.sub.mod.Thing.size", symbols)] == [3, 7]
    assert resolve_answer("pkg.sub.mod.Thing.missing", symbols) == []
    assert resolve_answer("other.load", symbols) == []


def test_every_navigational_query_has_an_answer_in_this_python(tmp_path):
    for corpus in CORPORA:
        copy_corpus(corpus, tmp_path / corpus.name)
        symbols = read_symbols(tmp_path / corpus.name)
        for text, answers in quality.NAVIGATIONAL_QUERIES[corpus.name]:
            assert any(resolve_answer(answer, symbols) for answer in answers), (corpus.name, text)


@pytest.mark.parametrize(
    ("text", "split"),
    [
        ("getUserName", "get User Name"),
        ("parse_args", "parse args"),
        ("__init__", "  init  "),
        ("HTTPServer", "HTTPServer"),
        ("plain words", "plain words"),
    ],
)
def test_split_identifiers(text, split):
    assert quality.split_identifiers(text) == split


def test_only_the_splitting_peer_matches_words_inside_compound_names(tmp_path):
    _write_tree(
        tmp_path,
        {"m.py": "def getUserName(record):\n    return record\n\ndef other(value):\n    return value\n"},
    )
    symbols = read_symbols(tmp_path)
    sources = ["def getUserName(record):\n    return record", "def other(value):\n    return value"]
    plain = quality.Bm25Ranker("bm25s", symbols, sources, split=False)
    splitting = quality.Bm25Ranker("bm25s+split", symbols, sources, split=True)
    assert plain.search("user name") == []
    assert splitting.search("user name") == [("m.py", 1)]
    assert splitting.search("the of and") == []


def test_sample_is_deterministic_and_keeps_order():
    queries = [quality.Query(str(i), frozenset(), "") for i in range(50)]
    first = quality.sample(queries, 10, "0/email/docstring")
    assert first == quality.sample(queries, 10, "0/email/docstring")
    assert [int(q.text) for q in first] == sorted(int(q.text) for q in first)
    assert quality.sample(queries, 60, "0/email/docstring") == queries


def test_missing_quibra_api_ends_the_run_with_one_line(tmp_path):
    (tmp_path / "quibra").mkdir()
    (tmp_path / "quibra" / "__init__.py").write_text("")
    result = subprocess.run(
        [sys.executable, str(BENCH / "quality.py"), "--corpus", "http", "--limit", "1"],
        capture_output=True,
        text=True,
        check=False,
        env={"PYTHONPATH": str(tmp_path), "PATH": "/usr/bin:/bin"},
    )
    assert result.returncode == 2
    assert result.stderr.strip().count("\n") == 0 and "quibra.Index" in result.stderr


# --- Corpora of other languages: doc comments ----------------------------------------------------

# Per language: a file with doc comments where each rule has an edge, the
# comments that must keep their text, and the file's name.
DOC_COMMENT_CASES = {
    "go": (
        "x.go",
        """\
        // Package x is documented here.
        package x

        //go:generate stringer -type=Kind

        // Kind is a kind.
        type Kind int

        // Server serves.
        //
        // It has a second paragraph.
        type Server struct {
        \t// Addr is the address.
        \tAddr string // kept trailing
        }

        // kept: a blank line stands between this and the function

        /* Serve serves the
           connections of s. */
        //go:noinline
        func (s *Server) Serve() error {
        \t// kept: a statement follows, not a declaration
        \ts.Addr = ""
        \t// Local is a local type.
        \ttype Local struct{}
        \treturn nil
        }

        // Handler handles.
        type Handler interface {
        \t// Handle does one request.
        \tHandle() error
        }
        """,
        ("//go:generate", "//go:noinline", "kept trailing", "kept: a blank line", "kept: a statement"),
    ),
    "rust": (
        "lib.rs",
        """\
        //! The crate's own documentation.

        /// A version.
        #[derive(Debug)]
        /// Its second doc line, after an attribute.
        pub struct Version { major: u64 }

        impl Version {
            /** Parse a version
             * from text. */
            pub fn parse(text: &str) -> Self {
                // kept: a plain comment
                //// kept: four slashes are plain
                /*** kept: so are three stars */
                Version { major: 0 }
            }
        }

        /// Compare. /* not a nested block */
        fn compare() {}
        """,
        ("kept: a plain comment", "kept: four slashes", "kept: so are three stars"),
    ),
    "javascript": (
        "chunk.js",
        """\
        /** Detect `globalThis`. */
        const freeGlobal = typeof globalThis == 'object';

        /* kept: a plain block */
        // kept: a line comment
        /**
         * Creates an array of chunks.
         *
         * @param {Array} array The array.
         */
        function chunk(array) { /** inline doc */ return [array]; }

        class Box {
          /** Opens the box. */ open() { return 1; }
        }
        module.exports = chunk;
        """,
        ("kept: a plain block", "kept: a line comment", "return [array]", "open() { return 1; }"),
    ),
    "typescript": (
        "lib.d.ts",
        """\
        interface JSON {
            /**
             * Converts a JavaScript Object Notation (JSON) string into an object.
             * @param text A valid JSON string.
             */
            parse(text: string): any;
            // kept: not a doc comment
            /** The length. */
            readonly length: number;
        }
        /** Declares a function. */
        declare function escape(string: string): string;
        """,
        ("kept: not a doc comment", "readonly length: number;"),
    ),
    "java": (
        "Box.java",
        """\
        package x;

        /**
         * A box.
         */
        public class Box {
            /** The size. */
            private int size;

            /*
             * kept: a plain block
             */
            /**
             * Returns the {@code size} of the box.
             * @return the size
             */
            @Deprecated
            public int size() { return size; }
        }
        """,
        ("kept: a plain block", "return size;"),
    ),
}


def _reader_view(language, path, source):
    return [(s.qualname, s.kind, s.line, s.start_line, s.end_line) for s in reader_symbols(language, path, source)]


@pytest.mark.parametrize("language", DOC_COMMENT_CASES)
def test_doc_comment_blanking_keeps_lines_symbols_and_code(language):
    name, text, kept = DOC_COMMENT_CASES[language]
    source = textwrap.dedent(text).encode()
    blanked = blank_doc_comments(language, source)
    assert blanked.count(b"\n") == source.count(b"\n")
    assert not parse(language, blanked).root_node.has_error
    assert _reader_view(language, name, blanked) == _reader_view(language, name, source)
    documented = [s for s in reader_symbols(language, name, source) if s.docstring]
    assert len(documented) >= 2
    assert not any(s.docstring for s in reader_symbols(language, name, blanked))
    for fragment in kept:
        assert fragment.encode() in blanked, fragment
    lowered = blanked.lower()
    for gone in (b"documented", b"doc line", b"second", b"parse a", b"creates", b"opens", b"converts", b"returns"):
        assert gone not in lowered


@pytest.mark.parametrize(
    ("comment", "blank"),
    [
        (b"// Split slices s.", b"//"),
        (b"/// A version.\n", b"///\n"),
        (b"//! Crate docs.\r\n", b"//!\r\n"),
        (b"/** One line. */", b"/** */"),
        (b"/**\n * Two\n * lines.\n */", b"/**\n\n\n*/"),
        (b"/*! Inner\n block. */", b"/*!\n*/"),
        (b"/* Go block\n   comment. */", b"/*\n*/"),
    ],
)
def test_emptied_comment_keeps_its_markers_and_line_breaks(comment, blank):
    assert emptied(comment) == blank


def test_blanked_package_copy_reads_the_same_symbols_and_leaves_other_files(tmp_path):
    original = tmp_path / "original"
    for language, (name, text, _) in DOC_COMMENT_CASES.items():
        (original / language).mkdir(parents=True)
        (original / language / name).write_text(textwrap.dedent(text))
    (original / "README.md").write_text("/** not code */\n")
    write_blanked_package_copy(original, tmp_path / "blanked")
    assert read_package_symbols(tmp_path / "blanked") == read_package_symbols(original)
    assert (tmp_path / "blanked" / "README.md").read_text() == "/** not code */\n"


@pytest.mark.parametrize(
    ("docstring", "name", "query"),
    [
        # Go: the function's name opens the comment and is taken out; another word is not.
        (
            "Split slices s into all substrings separated by sep.\n\nMore.",
            "Split",
            "slices s into all substrings separated by sep.",
        ),
        ("Splitting s into parts is what this does.", "Split", "Splitting s into parts is what this does."),
        ("split slices s into all substrings.", "Split", "split slices s into all substrings."),
        ("Len is the number of bytes in the buffer.", "Len", "is the number of bytes in the buffer."),
        ("Close immediately closes all active listeners.", "Close", "immediately closes all active listeners."),
        ("Decode will find the next PEM block.", "Decode", "will find the next PEM block."),
        (
            "Write the contents of data as one chunk to Wire.",
            "Write",
            "Write the contents of data as one chunk to Wire.",
        ),
        # JSDoc: block tags end the description, even without a blank line.
        (
            "Creates an array of chunks\n@param {Array} array The array to process.\n@returns {Array} chunks.",
            "chunk",
            "Creates an array of chunks",
        ),
        ("Gets the value at {@link Object#path path} of `object`.", "get", "Gets the value at path of `object`."),
        ("Returns the {@code size} of this <b>box</b> &amp; lid.", "size", "Returns the size of this box & lid."),
        # Rust: links read as their text; an index keeps its brackets.
        (
            "Parse a [`VersionReq`] from a [string](https://example.org).\n\n# Errors",
            "parse",
            "Parse a `VersionReq` from a string.",
        ),
        (
            "Gets the property of target, like `target[key]` does.",
            "get",
            "Gets the property of target, like `target[key]` does.",
        ),
        ("```\nlet v = parse();\n```", "parse", None),
        ("# Examples\n\nParse the version text here.", "parse", None),
        ("Parse a version.", "parse", None),  # three words
        (
            "Quote returns a double-quoted Go string literal representing s.",
            "Quote",
            "returns a double-quoted Go string literal representing s.",
        ),
    ],
)
def test_query_from_doc_comment(docstring, name, query):
    assert query_from_doc_comment(docstring, name) == query


def test_description_stops_at_the_first_block_tag():
    assert description("Does a thing.\n\n@param x the thing\n@returns more").strip() == "Does a thing."


def test_doc_comment_queries_come_from_functions_outside_tests_with_one_answer(tmp_path):
    _write_tree(
        tmp_path,
        {
            "pkg/split.go": """\
                package pkg

                // Splitter is a type and gives no query.
                type Splitter struct{}

                // Split slices s into all the substrings.
                func Split(s string) []string { return nil }

                // Len returns the length of the value.
                func (a A) Len() int { return 0 }

                // Len returns the length of the value.
                func (b B) Len() int { return 0 }
                """,
            "pkg/split_test.go": "package pkg\n\n// TestSplit checks the substrings of s.\nfunc TestSplit() {}\n",
            "pkg/testdata/fixture.go": "package fixture\n\n// Fixture returns the fixture for a test.\nfunc Fixture() {}\n",
            "lib/chunk.test.js": "/** Checks the chunks of an array. */\nfunction checkChunks() {}\n",
        },
    )
    queries = doc_comment_queries(tmp_path)
    assert [(q.text, q.answer.path, q.answer.qualname, q.answer.line, q.answer.start_line) for q in queries] == [
        ("slices s into all the substrings.", "pkg/split.go", "Split", 7, 6)
    ]


@pytest.mark.parametrize(
    ("path", "is_test"),
    [
        ("net/http/serve_test.go", True),
        ("go/parser/testdata/commas.go", True),
        ("lib/chunk.test.js", True),
        ("src/__tests__/chunk.ts", True),
        ("tests/test_version.rs", True),
        ("java/util/ListTests.java", True),
        ("testing/quick/quick.go", False),
        ("text/template/testing.go", False),
        ("lib/contest.js", False),
        ("net/http/client.go", False),
    ],
)
def test_test_paths_of_each_language_give_no_queries(path, is_test):
    assert is_test_path(path) == is_test


def test_package_corpus_copies_its_members_by_path_part(tmp_path):
    source = tmp_path / "source"
    _write_tree(
        source,
        {
            "chunk.js": "",
            "lodash.js": "",
            "lodash.min.js": "",
            "fp/chunk.js": "",
            "net/http/client.go": "",
            "net/http/httputil/dump.go": "",
            "net/url/url.go": "",
            "go.mod": "",
        },
    )
    js = PackageCorpus("js", "javascript", "node-x", source, ("*.js",), ("lodash.*js", "lodash.js"))
    js.copy_to(tmp_path / "js")
    assert sorted(p.relative_to(tmp_path / "js").as_posix() for p in (tmp_path / "js").rglob("*.*")) == ["chunk.js"]
    go = PackageCorpus("go", "go", "golang-x", source, ("go.mod", "net/http"))
    go.copy_to(tmp_path / "go")
    assert sorted(p.relative_to(tmp_path / "go").as_posix() for p in (tmp_path / "go").rglob("*.*")) == [
        "go.mod",
        "net/http/client.go",
        "net/http/httputil/dump.go",
    ]


def test_package_corpus_reads_members_from_a_zip_archive(tmp_path):
    with zipfile.ZipFile(tmp_path / "src.zip", "w") as archive:
        archive.writestr("java.base/java/util/List.java", "interface List {}\n")
        archive.writestr("java.base/java/util/concurrent/Future.java", "interface Future {}\n")
    corpus = PackageCorpus("java", "java", "jdk-x", tmp_path / "src.zip", ("java.base/java/util/*.java",))
    corpus.copy_to(tmp_path / "copy")
    assert [p.name for p in (tmp_path / "copy").rglob("*.java")] == ["List.java"]


def test_missing_package_is_reported_as_such(tmp_path):
    corpus = PackageCorpus("gone", "go", "golang-gone", tmp_path / "nowhere", ("*",))
    with pytest.raises(PackageMissing, match="golang-gone"):
        corpus.copy_to(tmp_path / "copy")


def test_resolve_answer_by_file_or_package_folder(tmp_path):
    _write_tree(
        tmp_path,
        {
            "net/http/client.go": "package http\n\nfunc Get() {}\n",
            "net/http/httputil/dump.go": "package httputil\n\nfunc Get() {}\n",
            "src/lib.rs": "struct Version;\nimpl Version {\n    fn parse() {}\n}\n",
        },
    )
    symbols = read_package_symbols(tmp_path)
    assert [s.path for s in resolve_package_answer("net/http:Get", symbols)] == ["net/http/client.go"]
    assert [s.line for s in resolve_package_answer("src/lib.rs:Version::parse", symbols)] == [3]
    assert resolve_package_answer("src:Version::parse", symbols) != []
    assert resolve_package_answer("net:Get", symbols) == []


def _installed(corpus):
    return pytest.param(
        corpus,
        id=corpus.name,
        marks=pytest.mark.skipif(
            not corpus.source.exists(), reason=f"{corpus.source} is missing: apt-get install {corpus.package}"
        ),
    )


@pytest.mark.parametrize("corpus", [_installed(corpus) for corpus in PACKAGE_CORPORA])
def test_every_installed_package_corpus_blanks_cleanly_and_answers_its_navigational_queries(corpus, tmp_path):
    corpus.copy_to(tmp_path / "original")
    corpus.write_blanked_copy(tmp_path / "original", tmp_path / "blanked")
    symbols = corpus.read_symbols(tmp_path / "original")
    assert corpus.read_symbols(tmp_path / "blanked") == symbols
    for text, answers in quality.NAVIGATIONAL_QUERIES.get(corpus.name, ()):
        assert all(corpus.resolve_answer(answer, symbols) for answer in answers), (corpus.name, text)


def _one_query_run(corpus, language, quibra_rank):
    answer = ("a.go", 1)
    run = quality.SetRun(corpus, language, quality.DOCSTRING_SET, [quality.Query("q", frozenset({answer}), "a")], {})
    quibra_hits = [("other.go", line) for line in range(2, (quibra_rank or 11) + 1)] + [answer]
    run.hits = {"quibra": [quibra_hits], "bm25s": [[answer]], "bm25s+split": [[]]}
    return run


def test_summary_averages_each_language_over_its_corpora_and_groups_the_table(capsys):
    runs = [_one_query_run("go-a", "go", 1), _one_query_run("py", "python", None), _one_query_run("go-b", "go", 2)]
    summary = quality.summarize(quality.DOCSTRING_SET, runs)
    assert summary["languages"]["go"]["queries"] == 2
    assert summary["languages"]["go"]["figures"]["quibra"]["MRR@10"] == 0.75
    assert summary["languages"]["python"]["figures"]["quibra"]["MRR@10"] == 0.0
    assert summary["total"]["figures"]["quibra"]["MRR@10"] == 0.5
    quality.print_table(summary)
    rows = [line.split()[0] for line in capsys.readouterr().out.splitlines()[2:6]]
    assert rows == ["go-a", "go-b", "go", "py"]
