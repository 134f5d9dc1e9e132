"""Token streams (tokenize, tokenize_query), the suffix stemmer (stem_word)
and the abbreviation table they use."""

import json
import os
import pathlib
import subprocess
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _quibra_core as q
import fallbacks
from frame_model import UCD_DIR, UCD_PRESENT, char_class

ROOT = pathlib.Path(__file__).resolve().parent.parent
# The exact character classes come from the UCD files when they are present
# and of the version the compiled tables were generated from; otherwise the
# oracle falls back to Python's str predicates and the random texts keep to
# characters on which those agree with the derived properties.
needs_ucd = pytest.mark.skipif(not UCD_PRESENT, reason="UCD files of the tables' version not found")


def expected_terms(text):
    return fallbacks.tokenize(text, char_class())


# ---------------------------------------------------------------------------
# stem_word

STEMS = [
    ("running", "run"), ("RUNNING", "run"), ("searching", "search"),
    ("organizing", "organize"), ("organized", "organize"), ("creating", "create"),
    ("validation", "valid"), ("station", "sta"), ("nation", "nation"),
    ("function", "func"), ("classes", "class"), ("kisses", "kiss"),
    ("happiness", "happi"), ("payment", "pay"), ("handling", "handle"),
    ("opening", "open"), ("making", "mak"), ("calling", "cal"), ("planned", "plan"),
    ("fitted", "fitt"), ("libraries", "library"), ("added", "add"),
    ("parsers", "parser"), ("quickly", "quick"), ("indexes", "index"),
    ("boxes", "boxe"), ("creates", "creat"), ("status", "statu"),
    ("address", "address"), ("string", "str"), ("bring", "bring"),
    # Too short for any rule: only lowercased.
    ("", ""), ("a", "a"), ("ABCD", "abcd"), ("cats", "cats"), ("ties", "ties"),
    ("abcds", "abcd"), ("class", "class"), ("buses", "buse"), ("busses", "buss"),
    # Rules with a 2-byte minimum stem, and a matching rule whose stem is too
    # short falling through to a later one.
    ("rubbing", "rub"), ("webing", "web"), ("tubing", "tub"), ("ringing", "ring"),
    # Bytes, not characters: non-ASCII letters keep their case and count 2.
    ("Über", "Üb"), ("ÜBERS", "Über"), ("naïveties", "naïvety"), ("日本語s", "日本語"),
    ("hello world", "hello world"), ("CamelCaseING", "camelcase"),
]


@pytest.mark.parametrize("word, stem", STEMS)
def test_stem_word(word, stem):
    assert q.stem_word(word) == stem
    assert fallbacks.stem_word(word) == stem


# Suffix-heavy letters, upper case and multi-byte characters.
WORDS = st.text(st.sampled_from("aeinstgdlrybmpkzASNGDE\u00e9\u00dc\u65e5 "), max_size=14)


@given(WORDS)
def test_stem_word_matches_fallback(word):
    assert q.stem_word(word) == fallbacks.stem_word(word)


def test_stem_word_long_word_beyond_stack_buffer():
    word = "Re" * 100 + "NNING"
    assert q.stem_word(word) == "re" * 100 + "n"


# ---------------------------------------------------------------------------
# tokenize, tokenize_query

TOKENIZE = [
    ("", []), ("a b c", []), ("x", []), ("aB", []), ("a+b=c", []), ("x1 42 7", ["x1", "42"]),
    # Identifier boundaries: only lowercase -> uppercase splits.
    ("getJSONValue", ["get", "jsonvalue"]),
    ("JSONDecoder", ["jsondecoder", "jsondecod"]),
    ("SQLQueryBuilder", ["sqlquery", "builder", "build"]),
    ("readFileAsync", ["read", "file", "async"]), ("userID", ["user", "id"]),
    ("ABCdef", ["abcdef"]), ("IOError", ["ioerror"]), ("iPhone", ["phone"]), ("getX", ["get"]),
    ("base64Encode", ["base64encode"]), ("a1B2", ["a1b2"]), ("fooBar2Baz", ["foo", "bar2baz"]),
    ("get_x_value", ["get", "value"]), ("foo\tbar\nbaz", ["foo", "bar", "baz"]),
    ("my-var.name/path\\x", ["my", "var", "variable", "name", "path"]),
    # Enrichment: token, stem, the token's expansions, the stem's expansions.
    ("DB", ["db", "database"]), ("db_config", ["db", "database", "config", "configuration"]),
    ("searching", ["searching", "search"]),
    ("searching searching", ["searching", "search", "searching"]),
    ("search searching", ["search", "searching"]), ("Running", ["running", "run"]),
    ("functions", ["functions", "function", "func", "fn"]),
    ("function", ["function", "func", "fn"]),
    ("user.repos", ["user", "repos", "repo", "repository"]),
    ("params", ["params", "param", "parameters", "parameter"]),
    ("messages", ["messages", "messag"]), ("libs", ["libs"]), ("DBError", ["dberror"]),
    ("string strings", ["string", "str", "strings"]),
    ("temp temporary", ["temp", "temporary", "temporary", "tmp"]),
    ("db database", ["db", "database", "database"]),
    ("db db DB", ["db", "database", "db", "db"]),
    # Lookups are exact: no case folding, plurals or prefixes.
    ("dbs d execution result procedure", ["dbs", "execution", "execu", "result", "procedure"]),
    ("errors configs", ["errors", "error", "err", "configs", "config", "configuration"]),
    # The byte minimum: a lone non-ASCII letter is a token.
    ("é", ["é"]), ("日本語", ["日本語"]), ("x²", ["x²"]), ("aé", ["aé"]), ("éB", ["é"]),
    ("ÜBER straßeÜber", ["Über", "Üb", "straße", "Über"]),
    # Derived properties, not general categories: Other_Alphabetic and
    # Other_Uppercase/Other_Lowercase count, titlecase is neither case.
    ("aⒶb", ["Ⓐb"]), ("ⓐⒶ", ["ⓐ", "Ⓐ"]), ("ªBc", ["ª", "bc"]), ("a\u0345B", ["a\u0345"]),
    ("ⅠⅡ", ["ⅠⅡ"]), ("xⅠ", ["Ⅰ"]), ("ǅx", ["ǅx"]), ("xǅ", ["xǅ"]), ("ǅA", ["ǅa"]),
    ("ωΩ", ["ω", "Ω"]), ("x\u0663y", ["x\u0663y"]),
    # Separators: combining marks that are not Alphabetic, emoji, no-break space.
    ("ab\u0301cd", ["ab", "cd"]), ("ab😀cd", ["ab", "cd"]), ("ab\u00a0cd", ["ab", "cd"]),
    ("ab\x00cd", ["ab", "cd"]),
]


@pytest.mark.parametrize("text, terms", TOKENIZE)
def test_tokenize(text, terms):
    assert q.tokenize(text) == terms
    assert q.tokenize_query(text) == terms
    assert expected_terms(text) == terms


def test_abbreviation_oracle_is_complete():
    assert len(fallbacks.ABBREVIATIONS) == 63


@pytest.mark.parametrize("key", sorted(fallbacks.ABBREVIATIONS))
def test_every_abbreviation_entry(key):
    assert q.tokenize(key) == fallbacks.tokenize(key)
    assert q.tokenize(key.upper()) == fallbacks.tokenize(key.upper())


def test_long_text_matches_fallback_across_blocks():
    # Tokens straddling 64-byte blocks, case breaks at block edges, many
    # distinct terms (hashed seen set) and non-ASCII in between.
    pieces = ["getUserName", "x" * 63 + "Y", "é" * 40, "JSONDecoder", "db", "temporary",
              "a" * 64 + "B", " " * 64, "Über", "searching", "x"]
    text = " ".join(pieces[i % len(pieces)] + str(i) for i in range(500))
    for cut in range(0, 130, 7):
        assert q.tokenize(text[cut:]) == expected_terms(text[cut:])


def test_source_files_match_fallback():
    for path in sorted((ROOT / "src" / "tokenizer").glob("*.cpp")) + [ROOT / "bench" / "fallbacks.py"]:
        text = path.read_text(encoding="utf-8")
        assert q.tokenize(text) == expected_terms(text), path.name


def alphabet():
    pieces = ["db", "Temp", "temporary", "ING", "s", "getX", "tion", "es", "params", "  ", "_", "9"]
    if UCD_PRESENT:
        characters = st.characters().filter(lambda c: not "\ud800" <= c <= "\udfff")
        return st.one_of(st.sampled_from(pieces), characters)
    return st.sampled_from(pieces + list("aZ0 .éÜßǅⒶⓐªⅠ²日Ωω\u0345\u0301😀"))


TEXTS = st.lists(alphabet(), max_size=60).map("".join)


@settings(max_examples=300)
@given(TEXTS)
def test_matches_fallback_and_query(text):
    terms = q.tokenize(text)
    assert terms == expected_terms(text)
    assert q.tokenize_query(text) == terms
    assert all(len(term.encode("utf-8")) >= 2 for term in terms)


@needs_ucd
@pytest.mark.parametrize("property_name", ["alphanumeric", "uppercase", "lowercase"])
def test_character_classes_of_every_code_point(property_name):
    # Each code point is probed in its own space-separated word: alone (is it
    # alphanumeric?), after "xy" (does an uppercase boundary split it off?)
    # and before "XY" (is it lowercase?). ASCII is doubled to reach 2 bytes.
    classes = fallbacks.ucd_char_classes(str(UCD_DIR))
    code_points = [cp for cp in range(0x110000) if not 0xD800 <= cp <= 0xDFFF]
    if property_name != "alphanumeric":
        code_points = [cp for cp in code_points if classes[cp] != fallbacks.SEPARATOR]
    probes = []
    expected = []
    for cp in code_points:
        c = chr(cp)
        cls = classes[cp]
        if property_name == "alphanumeric":
            probe = c * 2 if cp < 0x80 else c
            probes.append(probe)
            if cls != fallbacks.SEPARATOR:
                expected.append([probe.lower() if cp < 0x80 else probe])
            else:
                expected.append([])
        elif property_name == "uppercase":
            probes.append("xy" + c)
            lowered = c.lower() if cp < 0x80 else c
            if cls == fallbacks.UPPER:
                expected.append(["xy"] + ([lowered] if cp >= 0x80 else []))
            else:
                expected.append(["xy" + lowered])
        else:
            probes.append(c + "XY")
            if cls == fallbacks.LOWER:
                expected.append(([c] if cp >= 0x80 else []) + ["xy"])
            else:
                expected.append([(c.lower() if cp < 0x80 else c) + "xy"])
    # No probe is long enough to stem or spelled like an abbreviation, so
    # the terms are exactly the split tokens.
    flat = [term for terms in expected for term in terms]
    if q.tokenize(" ".join(probes)) != flat:
        # The batched call hides which code points differ: list them.
        wrong = [f"U+{cp:04X}" for cp, probe, want in zip(code_points, probes, expected)
                 if q.tokenize(probe) != want]
        pytest.fail(f"{property_name} differs from the UCD at {wrong[:20]}")


# ---------------------------------------------------------------------------
# Processes and threads

CHILD = """
import json, sys, threading
import _quibra_core as q
texts = json.load(sys.stdin)
threads = int(sys.argv[1])
barrier = threading.Barrier(threads)
results = [None] * threads
def work(slot):
    barrier.wait()
    results[slot] = [q.tokenize(t) if i % 2 else q.tokenize_query(t) for i, t in enumerate(texts)]
workers = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
for w in workers: w.start()
for w in workers: w.join()
json.dump(results, sys.stdout)
"""


def run_child(texts, threads):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-c", CHILD, str(threads)], input=json.dumps(texts),
                          capture_output=True, text=True, env=env, timeout=120, check=True)
    return json.loads(done.stdout)


def sample_texts():
    names = ["getUserName", "db_config", "temp temporary", "JSONDecoder", "searching",
             "ÜBER straßeÜber", "user.repos", "functions params errors", ""]
    long_text = " ".join(f"{names[i % 8]}{i % 13} Value{i % 5}" for i in range(300))
    return names + [long_text, (ROOT / "bench" / "fallbacks.py").read_text(encoding="utf-8")]


def test_same_terms_in_fresh_processes():
    # The seen set hashes with a per-process random key: its layout must not
    # leak into the order of the terms.
    texts = sample_texts()
    here = [q.tokenize(t) for t in texts]
    for _ in range(2):
        (there,) = run_child(texts, threads=1)
        assert there == here


def test_first_calls_from_several_threads():
    texts = sample_texts()
    results = run_child(texts, threads=8)
    expected = [expected_terms(t) for t in texts]
    assert all(result == expected for result in results)


# ---------------------------------------------------------------------------
# Calling frame

@pytest.mark.parametrize(
    "call, exception, message",
    [
        (lambda: q.tokenize(None), TypeError, "argument 'text': 'None' is not an instance of 'str'"),
        (lambda: q.tokenize(b"db"), TypeError, "argument 'text': 'bytes' object is not an instance of 'str'"),
        (lambda: q.tokenize_query(5), TypeError, "argument 'query': 'int' object is not an instance of 'str'"),
        (lambda: q.stem_word(["a"]), TypeError, "argument 'word': 'list' object is not an instance of 'str'"),
        (lambda: q.stem_word("a", "b"), TypeError, "stem_word() takes 1 positional arguments but 2 were given"),
        (lambda: q.tokenize(), TypeError, "tokenize() missing 1 required positional argument: 'text'"),
        (lambda: q.tokenize(query="a"), TypeError, "tokenize() got an unexpected keyword argument 'query'"),
        (lambda: q.tokenize_query("a", query="b"), TypeError,
         "tokenize_query() got multiple values for argument 'query'"),
    ],
)
def test_argument_errors(call, exception, message):
    with pytest.raises(exception) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("function", [q.tokenize, q.tokenize_query, q.stem_word])
def test_unencodable_text_raises_unicode_error(function):
    with pytest.raises(UnicodeEncodeError):
        function("db\ud800")


def test_keywords_and_str_subclasses():
    class Text(str):
        pass

    assert q.tokenize(text="getName") == ["get", "name"]
    assert q.tokenize_query(query=Text("DB")) == ["db", "database"]
    assert q.stem_word(word=Text("Parsers")) == "parser"
    assert type(q.stem_word(Text("ab"))) is str


def test_docstrings():
    assert q.tokenize.__doc__ == (
        "Enhanced tokenizer: split + stem + abbreviation expansion.\n\n"
        "Returns tokens suitable for BM25 indexing. Each input token produces:\n"
        "  1. The original lowercased token\n"
        "  2. Its stemmed form (if different)\n"
        "  3. Any abbreviation expansions (NOT stemmed \u2014 they're canonical forms)\n\n"
        "Args:\n"
        "    text: The text to tokenize (symbol name, signature, docstring, etc.)\n\n"
        "Returns:\n"
        "    List of tokens (may contain duplicates \u2014 BM25 uses term frequency).")
    assert q.tokenize_query.__doc__ == (
        "Tokenize a query string for BM25 search.\n\n"
        "Same as tokenize() but also stems and expands query terms,\n"
        'ensuring "searching" matches "search", "DB" matches "database", etc.')
    assert q.stem_word.__doc__ == "Stem a single word (exposed for testing/debugging)."
