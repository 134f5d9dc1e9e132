"""The tree-sitter Python reader against the `ast` reader, its oracle: the
same outcome (every symbol field by field, the imports, or the same skip
with the same reason) on every file of the running interpreter's standard
library, and on hand-written files built around what the two parsers see
differently. Signatures are the one field compared through `ast`: the
tree-sitter reader keeps the source text, so its signature must parse to
the head the oracle renders."""

from __future__ import annotations

import ast
import os
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest
from quibra.tree.languages import check_source, python, python_tree
from quibra.tree.languages.model import FileExtract, SkipFile, Symbol

# The host's tests: the sanitizer build of the engine skips them (tools/sanitize).
pytestmark = pytest.mark.host

STDLIB = Path(sysconfig.get_paths()["stdlib"])


def stdlib_parts() -> list[str]:
    """The standard library in groups: its top-level modules, then each package."""
    packages = sorted(path.name for path in STDLIB.iterdir() if path.is_dir() and path.name != "site-packages")
    return ["(modules)", *(name for name in packages if any((STDLIB / name).rglob("*.py")))]


def part_files(part: str) -> list[Path]:
    if part == "(modules)":
        return sorted(STDLIB.glob("*.py"))
    return sorted(path for path in (STDLIB / part).rglob("*.py") if "site-packages" not in path.parts)


Outcome = FileExtract | str


def outcome(reader: object, path: str, source: bytes) -> Outcome:
    """What the index gets from a reader: an extract, or the reason for a skip."""
    try:
        check_source(source)
        extract: FileExtract = reader.read(path, source)  # type: ignore[attr-defined]
    except SkipFile as skip:
        return f"skipped: {skip}"
    return extract


def head_as_ast_renders_it(signature: str) -> str:
    try:
        definition = ast.parse(signature + ": pass").body[0]
    except SyntaxError as error:
        return f"<not a definition head: {error}>"
    assert isinstance(definition, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef))
    return python._signature(definition)


def symbol_differences(expected: Symbol, found: Symbol) -> list[str]:
    differences = []
    for name in Symbol.__dataclass_fields__:
        want, got = getattr(expected, name), getattr(found, name)
        if name == "signature":
            got = head_as_ast_renders_it(got)
        if want != got:
            differences.append(f"{expected.qualname} (line {expected.line}) {name}: {want!r} != {got!r}")
    return differences


def differences(path: str, source: bytes) -> list[str]:
    expected, found = outcome(python, path, source), outcome(python_tree, path, source)
    if isinstance(expected, str) or isinstance(found, str):
        return [] if expected == found else [f"{path}: {_short(expected)} != {_short(found)}"]
    problems = []
    if expected.imports != found.imports:
        problems.append(f"{path}: imports {expected.imports} != {found.imports}")
    if expected.references != found.references:
        want_references, got_references = set(expected.references), set(found.references)
        only_ast = sorted(want_references - got_references, key=lambda reference: reference.line)[:5]
        only_tree = sorted(got_references - want_references, key=lambda reference: reference.line)[:5]
        problems.append(f"{path}: references only with ast {only_ast}, only with tree-sitter {only_tree}")
    want = [symbol.qualname for symbol in expected.symbols]
    got = [symbol.qualname for symbol in found.symbols]
    if want != got:
        return [*problems, f"{path}: symbols {want} != {got}"]
    for expected_symbol, found_symbol in zip(expected.symbols, found.symbols):
        problems += [f"{path}: {problem}" for problem in symbol_differences(expected_symbol, found_symbol)]
    return problems


def _short(result: Outcome) -> str:
    return result if isinstance(result, str) else f"{len(result.symbols)} symbols"


@pytest.mark.skipif(not STDLIB.is_dir(), reason="the interpreter's standard library is not on disk")
@pytest.mark.skipif(
    os.environ.get("QUIBRA_UNDER_SANITIZER") == "1", reason="reads no engine code: nothing for the sanitizer to see"
)
@pytest.mark.parametrize("part", stdlib_parts() if STDLIB.is_dir() else [])
def test_standard_library_reads_as_with_ast(part):
    files = part_files(part)
    problems = [problem for file in files for problem in differences(str(file), file.read_bytes())]
    assert not problems, f"{len(problems)} differences:\n" + "\n".join(problems[:30])


# Hand-written files: each stresses a place where tree-sitter's tree and
# Python's differ in shape.
TRICKY = {
    "decorators": '''
        import functools

        @functools.lru_cache(maxsize=None if True else 1)
        @ \\
          staticmethod
        # a comment between decorator and definition

        def decorated(a, /, b=lambda: 1 if x else 2, *args, c, d=3, **options) -> "int":
            """Decorators and defaults are nobody's complexity."""
            return a and b

        @dataclass
        class Point(Base, metaclass=Meta, **extra):
            x: int = 0
            y = [i for i in range(3) if i if i > 1]

            @property
            def norm(self): return (self.x ** 2) ** 0.5
    ''',
    "nesting": """
        class Outer:
            class Inner:
                def method(self):
                    def local():
                        class Deep:
                            def deepest(self): pass
                        return Deep
                    return local

            if True:
                def conditional_method(self):
                    with open(x) as a, open(y) as b:
                        pass

            try:
                def in_try(self): pass
            except ImportError:
                def in_except(self): pass
            else:
                def in_else(self): pass
            finally:
                def in_finally(self): pass

        async def coroutine(items):
            async with lock:
                async for item in items:
                    await item
            return [x async for x in items if x]
    """,
    "branches": """
        def chains(value, limits):
            if value is None or not limits and value:
                return 0
            elif value < 0:
                pass
            elif value > 100:
                if value > 1000:
                    pass
            else:
                if value == 5:
                    pass
                elif value == 6:
                    pass
            while value:
                value -= 1
            else:
                pass
            for limit in limits:
                break
            else:
                for x in limits:
                    if x:
                        pass
            assert value, "message"
            result = [y for x in limits if (y := x * 2) if y > 3 for z in x if z]
            pick = lambda a: a if a else (lambda b: b or a)
            return value if value else -1

        def handlers(data):
            try:
                pass
            except* ValueError as group:
                pass
            except* (TypeError, KeyError):
                pass
            else:
                pass
            finally:
                if data:
                    pass
            match data:
                case [first, *rest] if first and rest:
                    pass
                case {"key": value} | Point(x=0):
                    match value:
                        case _:
                            pass
                case _:
                    pass

        def else_with_comments(x):
            if x:
                pass
            else:
                # only a comment before it
                if not x:
                    pass
                # and one after
            if x:
                pass
            else:
                if x:
                    pass
                x = 1
    """,
    "docstrings": '''
        def raw():
            r"""Raw \\d docstring."""

        def unicode_prefix():
            u\'\'\'Unicode prefix.\'\'\'

        def concatenated():
            "First part, " \'second part.\'

        def parenthesized():
            ("Parenthesized "
             "docstring.")

        def escapes():
            "Tab\\there, newline\\nthere, \\N{BULLET} bullet, \\x41, invalid \\d escape"

        def formatted():
            f"Not a docstring: {formatted}"

        def bytes_literal():
            b"Not a docstring either"

        def after_comment():
            # a comment first
            """Still the docstring."""

        def not_first():
            x = 1
            """Not the docstring."""

        def indented():
            """First line.

                More indented.
            Back.
            """

        class Documented:
            "One line."; x = 1

        def empty():
            ""

        def trailing_comments():
            ("Parenthesized "  # a comment inside
             "with comments.")  # and one after
    ''',
    "layout": """
        x = 1; y = 2
        def one_line(a, b): return a if b else a; pass
        class OneLine: pass
        def \\
          continued(
            a,  # first
            b: "str" = ")",  # a parenthesis in a string
            *,
            c: int = 0x10,
        ) \\
          -> dict[str, "int"]:
            return (a +
                    b)
            # a trailing comment stays out of the extent

        # and so does this one
        def params_with_tuples(a=(1,), b=(1, 2,), c={"k": [1,]},): pass
        from . import (sibling,  # comment
            other as alias,
        )
        from .. pkg . sub import *
        import os . path as osp, sys
        from __future__ import annotations
    """,
}


@pytest.mark.parametrize("case", sorted(TRICKY))
def test_tricky_files_read_as_with_ast(case):
    source = textwrap.dedent(TRICKY[case]).lstrip("\n").encode()
    assert differences(f"{case}.py", source) == []
    assert isinstance(outcome(python_tree, f"{case}.py", source), FileExtract)


# The same file in other encodings and line ends: every variant reads as with ast.
LAYOUT = textwrap.dedent(TRICKY["layout"]).lstrip("\n")
VARIANTS = {
    "crlf": LAYOUT.replace("\n", "\r\n").encode(),
    "lone cr": LAYOUT.replace("\n", "\r").encode(),
    "form feeds": LAYOUT.replace("\ndef ", "\n\f\ndef ").encode(),
    "tabs": textwrap.dedent(TRICKY["nesting"]).lstrip("\n").replace("    ", "\t").encode(),
    "bom": b"\xef\xbb\xbf" + LAYOUT.encode(),
    "latin-1 cookie": "# -*- coding: latin-1 -*-\ndef caf\u00e9():\n    'Cr\u00e8me.'\n".encode("latin-1"),
    "cookie on line two": "#!/usr/bin/env python\n# vim: set fileencoding=cp1252 :\ndef f():\n    '\u20ac'\n".encode(
        "cp1252"
    ),
    "crlf docstring": b'def f():\r\n    """Line one.\r\n\r\n    Line two.\r\n    """\r\n',
}


@pytest.mark.parametrize("variant", sorted(VARIANTS))
def test_encodings_and_line_ends_read_as_with_ast(variant):
    source = VARIANTS[variant]
    assert differences("variant.py", source) == []
    found = outcome(python_tree, "variant.py", source)
    assert isinstance(found, FileExtract) and found.symbols


# Files that go to the ast reader whole, whose verdict is then the same.
LEFT_TO_AST = {
    "syntax error": b"def broken(:\n    pass\n",
    "python 2 print": b"def f():\n    print 'hello'\n",
    "python 2 exec": b"exec 'x = 1'\n",
    "python 2 except": b"try:\n    pass\nexcept ValueError, error:\n    pass\n",
    "python 2 tuple parameters": b"def f((a, b)):\n    pass\n",
    "python 2 not-equal": b"if a <> b:\n    pass\n",
    "print shifted, valid in 3": b"print >>stream, value\ndef f(): pass\n",
    "not utf-8": b"def caf\xe9():\n    pass\n",
    "unknown cookie": b"# coding: no-such-codec\ndef f(): pass\n",
    "bom and cookie spelled utf8": b"\xef\xbb\xbf# coding: utf8\ndef f(): pass\n",
    "null byte past the sniffed start": b"def f(): pass\n" + b"#" * 9000 + b"\n\0\n",
    "deep unary": b"x = " + b"-" * 5000 + b"1\n",
    "deep brackets": b"x = " + b"[" * 150 + b"]" * 150 + b"\ndef f(): pass\n",
}


@pytest.mark.parametrize("case", sorted(LEFT_TO_AST))
def test_files_left_to_ast_get_its_verdict(case):
    assert differences(f"{case}.py", LEFT_TO_AST[case]) == []


# What tree-sitter accepts and CPython refuses is read: a documented difference.
READ_THOUGH_REFUSED = [b"x = 0777\ndef f(): pass\n", b"x = 10L\ndef f(): pass\n"]


@pytest.mark.parametrize("source", READ_THOUGH_REFUSED)
def test_python_2_literals_are_read_though_cpython_refuses_them(source):
    assert isinstance(outcome(python, "old.py", source), str)
    found = outcome(python_tree, "old.py", source)
    assert isinstance(found, FileExtract) and [symbol.name for symbol in found.symbols] == ["f"]


def read_symbols(source: str) -> dict[str, Symbol]:
    extract = python_tree.read("a.py", textwrap.dedent(source).lstrip("\n").encode())
    return {symbol.qualname: symbol for symbol in extract.symbols}


def test_signature_is_the_source_head_on_one_line():
    symbols = read_symbols(TRICKY["layout"])
    assert symbols["continued"].signature == (
        'def continued(a, b: "str" = ")", *, c: int = 0x10) -> dict[str, "int"]'
    )
    assert symbols["params_with_tuples"].signature == (
        'def params_with_tuples(a=(1,), b=(1, 2,), c={"k": [1,]})'
    )
    assert symbols["one_line"].signature == "def one_line(a, b)"
    assert read_symbols(TRICKY["decorators"])["Point"].signature == "class Point(Base, metaclass=Meta, **extra)"


def test_lines_span_decorators_and_stop_at_the_last_statement():
    decorated = read_symbols(TRICKY["decorators"])["decorated"]
    assert (decorated.start_line, decorated.line, decorated.end_line) == (3, 8, 10)
    continued = read_symbols(TRICKY["layout"])["continued"]
    assert (continued.line, continued.end_line) == (4, 13)



def test_a_missing_python_grammar_leaves_the_ast_reader():
    script = textwrap.dedent(
        """
        import sys
        sys.modules["tree_sitter_python"] = None  # as if the grammar package were not installed
        from quibra.tree.languages import _module, read_source
        print(_module("python").__name__)
        print([symbol.qualname for symbol in read_source("python", "a.py", b"class A:\\n    def f(self): pass\\n").symbols])
        """
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["quibra.tree.languages.python", "['A', 'A.f']"]
