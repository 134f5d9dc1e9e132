"""References resolved on real code, against answers written down by hand.

For each language, a bounded part of a Debian package's sources is copied
and indexed once. Each case names a use (file, line, name) picked by reading
those sources, and the definition it means (file and line of the defined
name), also read off the sources: the definition the index weighs highest
for that use must be that one, and no other may weigh as much.

A case whose package is not installed is skipped, and so is one whose use
no longer stands on its line (another version of the package).
"""

from __future__ import annotations

import fnmatch
import os
import sqlite3
import zipfile
from collections import defaultdict
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path

import pytest
import quibra as api

pytestmark = pytest.mark.host

GO = Path("/usr/share/go-1.19/src")
CARGO = Path("/usr/share/cargo/registry")
JDK = Path("/usr/lib/jvm/openjdk-17/lib/src.zip")
GNULIB = Path("/usr/share/gnulib/lib")
GOOGLETEST = Path("/usr/src/googletest/googletest")
NODE = Path("/usr/share/nodejs")


@dataclass(frozen=True)
class Part:
    """Files of one package copied into the tree under `folder`: those whose
    path below `source` (a folder, or a zip archive) matches one of `patterns`
    and whose name matches none of `left_out`."""

    folder: str
    source: Path
    patterns: tuple[str, ...]
    left_out: tuple[str, ...] = ()

    def wanted(self, name: str) -> bool:
        return any(_matches(name, pattern) for pattern in self.patterns) and not any(
            fnmatch.fnmatchcase(name.rpartition("/")[2], pattern) for pattern in self.left_out
        )

    def files(self) -> Iterator[tuple[str, bytes]]:
        if self.source.suffix == ".zip":
            with zipfile.ZipFile(self.source) as archive:
                for name in sorted(archive.namelist()):
                    if self.wanted(name):
                        yield name, archive.read(name)
            return
        for path in sorted(self.source.rglob("*")):
            name = path.relative_to(self.source).as_posix()
            if path.is_file() and not path.is_symlink() and self.wanted(name):
                yield name, path.read_bytes()

    def copy(self, root: Path) -> None:
        for name, content in self.files():
            target = root / self.folder / name
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(content)


def _matches(name: str, pattern: str) -> bool:
    """Whether a path matches a pattern whose wildcards stay within one folder."""
    parts, wanted = name.split("/"), pattern.split("/")
    return len(parts) == len(wanted) and all(map(fnmatch.fnmatchcase, parts, wanted))


def _packages(*names: str) -> tuple[str, ...]:
    """The Go files of packages (folders) of the standard library, tests left out."""
    return tuple(f"{name}/*.go" for name in names)


TREES: dict[str, tuple[Part, ...]] = {
    "go": (
        Part(
            "",
            GO,
            ("go.mod", *_packages("net/http", "net/http/internal", "net/http/internal/ascii", "net/http/httptrace",
                                  "net/url", "net/textproto", "bufio", "strings", "io", "errors", "context", "sort")),
            ("*_test.go",),
        ),
    ),
    "rust": tuple(
        Part(crate, CARGO / crate, ("Cargo.toml", "src/*.rs", "src/*/*.rs"))
        for crate in ("semver-1.0.14", "itertools-0.10.3", "either-1.6.1")
    ),
    "java": (
        Part(
            "",
            JDK,
            tuple(
                f"java.base/{package}/*.java"
                for package in ("java/util", "java/util/function", "java/util/random", "jdk/internal/util",
                                "jdk/internal/util/random", "java/lang/constant")
            ),
        ),
    ),
    "c": (
        Part(
            "",
            GNULIB,
            ("hash.[ch]", "hash-pjw*.[ch]", "hash-triple*.[ch]", "bitrotate.[ch]", "xalloc*.[ch]", "xmalloc.c",
             "di-set.[ch]", "ino-map.[ch]", "file-set.[ch]", "xhash.c", "gl_list.[ch]", "gl_linked_list.[ch]",
             "gl_anylinked_list*.h", "gl_array_list.[ch]", "gl_xlist.[ch]"),
        ),
    ),
    "cpp": (Part("googletest", GOOGLETEST, ("include/gtest/*.h", "include/gtest/internal/*.h", "include/gtest/internal/custom/*.h", "src/*")),),
    "javascript": (
        Part("semver", NODE / "semver", ("*.js", "*/*.js", "package.json")),
        *(
            Part(package, NODE / package, ("src/*.js", "package.json"))
            for package in ("d3-array", "d3-scale", "d3-interpolate", "d3-color")
        ),
    ),
    "typescript": (
        Part("@types/semver", NODE / "@types/semver", ("*.d.ts", "*/*.d.ts", "package.json")),
        Part("typescript/lib", NODE / "typescript/lib", ("lib.es5.d.ts", "lib.es2015.*.d.ts")),
    ),
}


# Each case: "use_path:line name -> definition_path:line", paths within the tree; where
# a line uses a name twice, the name is written with what it is reached through
# (`bufio.Reader`); a name that an import renamed is used as the name it imports
# (`range as sequence`: the line calls sequence, which is range).
GOLDEN = {
    "go": """
        # Calls of the same package: a function where a method of the same name exists, one of another file.
        net/http/client.go:175 send -> net/http/client.go:203
        net/http/client.go:243 basicAuth -> net/http/client.go:417
        net/http/client.go:249 setRequestCancel -> net/http/client.go:343
        net/http/client.go:242 cloneOrMakeHeader -> net/http/clone.go:68
        # Types, of the same package and through an imported one, where several packages define the name.
        net/http/client.go:203 RoundTripper -> net/http/client.go:116
        net/http/client.go:146 URL -> net/url/url.go:359
        net/http/request.go:1000 bufio.Reader -> bufio/bufio.go:32
        net/http/request.go:1000 textproto.Reader -> net/textproto/reader.go:21
        net/http/transport.go:2275 ClientTrace -> net/http/httptrace/trace.go:80
        # Package-qualified calls, several of them of names that other packages define too.
        net/http/client.go:163 Replace -> strings/strings.go:1003
        net/http/client.go:208 New -> errors/errors.go:58
        net/http/client.go:284 NopCloser -> io/io.go:627
        net/http/client.go:284 NewReader -> strings/reader.go:160
        net/http/client.go:358 WithDeadline -> context/context.go:434
        net/http/client.go:538 ToLower -> net/http/internal/ascii/print.go:56
        net/http/client.go:647 Parse -> net/url/url.go:463
        net/http/client.go:784 Strings -> sort/sort.go:164
        net/http/request.go:1006 NewReader -> net/textproto/reader.go:32
        net/http/request.go:610 NewWriter -> bufio/bufio.go:601
        net/http/request.go:958 EqualFold -> net/http/internal/ascii/print.go:14
        net/http/request.go:552 ContextClientTrace -> net/http/httptrace/trace.go:24
        net/http/server.go:1518 TrimString -> net/textproto/textproto.go:124
        net/http/transport.go:1748 NewReaderSize -> bufio/bufio.go:47
        # Methods through the receiver of the enclosing method.
        net/http/client.go:175 transport -> net/http/client.go:194
        net/http/server.go:2999 Serve -> net/http/server.go:3040
        net/http/server.go:2988 shuttingDown -> net/http/server.go:3205
        net/http/server.go:1862 setState -> net/http/server.go:1778
        net/http/transport.go:582 getConn -> net/http/transport.go:1332
        net/http/transport.go:1748 readBufferSize -> net/http/transport.go:300
        net/http/transport.go:1992 close -> net/http/transport.go:2696
        net/http/transport.go:2699 closeLocked -> net/http/transport.go:2702
        net/http/request.go:552 Context -> net/http/request.go:337
        # Methods through a parameter or a variable of a known type.
        net/http/client.go:154 String -> net/url/url.go:805
        net/http/client.go:207 closeBody -> net/http/request.go:1428
        net/http/transport.go:595 roundTrip -> net/http/transport.go:2534
    """,
    "rust": """
        # Paths through a module of the crate (`eval::f`, `groupbylazy::new`), the name defined in many modules.
        semver-1.0.14/src/lib.rs:477 matches_req -> semver-1.0.14/src/eval.rs:3
        semver-1.0.14/src/lib.rs:495 matches_comparator -> semver-1.0.14/src/eval.rs:26
        itertools-0.10.3/src/lib.rs:626 new -> itertools-0.10.3/src/groupbylazy.rs:299
        itertools-0.10.3/src/lib.rs:799 new -> itertools-0.10.3/src/tee.rs:28
        itertools-0.10.3/src/lib.rs:2885 new -> itertools-0.10.3/src/grouping_map.rs:32
        itertools-0.10.3/src/lib.rs:1485 combinations -> itertools-0.10.3/src/combinations.rs:32
        itertools-0.10.3/src/lib.rs:466 interleave_shortest -> itertools-0.10.3/src/adaptors/mod.rs:102
        itertools-0.10.3/src/lib.rs:837 map_into -> itertools-0.10.3/src/adaptors/map.rs:119
        # Associated functions of a type (`Version::from_str`), implemented in another file's `impl` block.
        semver-1.0.14/src/lib.rs:432 from_str -> semver-1.0.14/src/parse.rs:28
        semver-1.0.14/src/lib.rs:471 from_str -> semver-1.0.14/src/parse.rs:83
        semver-1.0.14/src/lib.rs:491 from_str -> semver-1.0.14/src/parse.rs:112
        semver-1.0.14/src/lib.rs:510 from_str -> semver-1.0.14/src/parse.rs:126
        semver-1.0.14/src/lib.rs:506 empty -> semver-1.0.14/src/identifier.rs:90
        semver-1.0.14/src/parse.rs:41 new -> semver-1.0.14/src/lib.rs:398
        semver-1.0.14/src/parse.rs:48 new -> semver-1.0.14/src/parse.rs:148
        semver-1.0.14/src/identifier.rs:157 empty -> semver-1.0.14/src/identifier.rs:90
        # Methods through self, and through a field of self.
        semver-1.0.14/src/identifier.rs:173 is_empty -> semver-1.0.14/src/identifier.rs:155
        semver-1.0.14/src/identifier.rs:173 is_inline -> semver-1.0.14/src/identifier.rs:166
        semver-1.0.14/src/lib.rs:514 as_str -> semver-1.0.14/src/identifier.rs:176
        # Plain calls of the same module.
        semver-1.0.14/src/parse.rs:30 numeric_identifier -> semver-1.0.14/src/parse.rs:157
        semver-1.0.14/src/identifier.rs:181 inline_as_str -> semver-1.0.14/src/identifier.rs:328
        semver-1.0.14/src/eval.rs:5 matches_impl -> semver-1.0.14/src/eval.rs:30
        # `use` items, and the types they bring in, where another crate defines the same name.
        semver-1.0.14/src/lib.rs:110 Error -> semver-1.0.14/src/parse.rs:21
        semver-1.0.14/src/lib.rs:104 Identifier -> semver-1.0.14/src/identifier.rs:84
        semver-1.0.14/src/parse.rs:2 ErrorKind -> semver-1.0.14/src/error.rs:4
        semver-1.0.14/src/parse.rs:2 Position -> semver-1.0.14/src/error.rs:19
        semver-1.0.14/src/eval.rs:1 VersionReq -> semver-1.0.14/src/lib.rs:189
        itertools-0.10.3/src/lib.rs:116 Combinations -> itertools-0.10.3/src/combinations.rs:11
        itertools-0.10.3/src/lib.rs:181 Position -> itertools-0.10.3/src/with_position.rs:38
        itertools-0.10.3/src/lib.rs:60 Either -> either-1.6.1/src/lib.rs:51
        semver-1.0.14/src/parse.rs:22 ErrorKind -> semver-1.0.14/src/error.rs:4
        semver-1.0.14/src/error.rs:31 Error -> semver-1.0.14/src/parse.rs:21
        semver-1.0.14/src/lib.rs:166 Prerelease -> semver-1.0.14/src/lib.rs:318
        semver-1.0.14/src/lib.rs:197 Op -> semver-1.0.14/src/lib.rs:253
        semver-1.0.14/src/eval.rs:26 Comparator -> semver-1.0.14/src/lib.rs:196
        itertools-0.10.3/src/lib.rs:621 GroupBy -> itertools-0.10.3/src/groupbylazy.rs:289
    """,
    "java": """
        # Methods of the enclosing class, of an inner class, and overloads told apart by their arguments.
        java.base/java/util/ArrayList.java:428 elementData -> java.base/java/util/ArrayList.java:410
        java.base/java/util/ArrayList.java:481 rangeCheckForAdd -> java.base/java/util/ArrayList.java:754
        java.base/java/util/ArrayList.java:791 batchRemove -> java.base/java/util/ArrayList.java:814
        java.base/java/util/ArrayList.java:1200 batchRemove -> java.base/java/util/ArrayList.java:1207
        java.base/java/util/ArrayList.java:1211 batchRemove -> java.base/java/util/ArrayList.java:814
        java.base/java/util/ArrayList.java:967 checkForComodification -> java.base/java/util/ArrayList.java:1011
        java.base/java/util/ArrayList.java:532 checkForComodification -> java.base/java/util/ArrayList.java:571
        java.base/java/util/ArrayList.java:220 grow -> java.base/java/util/ArrayList.java:231
        java.base/java/util/ArrayList.java:454 grow -> java.base/java/util/ArrayList.java:243
        java.base/java/util/HashMap.java:610 putVal -> java.base/java/util/HashMap.java:623
        java.base/java/util/HashMap.java:610 hash -> java.base/java/util/HashMap.java:336
        # Inherited from the superclass, and overridden by the class itself.
        java.base/java/util/LinkedHashMap.java:441 getNode -> java.base/java/util/HashMap.java:565
        java.base/java/util/LinkedHashMap.java:302 removeNode -> java.base/java/util/HashMap.java:811
        java.base/java/util/LinkedHashMap.java:444 afterNodeAccess -> java.base/java/util/LinkedHashMap.java:306
        # Imports, types of the same package, and static methods through their class.
        java.base/java/util/ArrayList.java:28 Consumer -> java.base/java/util/function/Consumer.java:42
        java.base/java/util/ArrayList.java:32 ArraysSupport -> java.base/jdk/internal/util/ArraysSupport.java:55
        java.base/java/util/ArrayList.java:234 newLength -> java.base/jdk/internal/util/ArraysSupport.java:632
        java.base/java/util/ArrayList.java:1217 Predicate -> java.base/java/util/function/Predicate.java:40
        java.base/java/util/ArrayList.java:814 Collection -> java.base/java/util/Collection.java:253
        java.base/java/util/ArrayList.java:816 requireNonNull -> java.base/java/util/Objects.java:207
        java.base/java/util/Random.java:85 RandomGenerator -> java.base/java/util/random/RandomGenerator.java:107
        java.base/java/util/Random.java:629 ints -> java.base/jdk/internal/util/random/RandomSupport.java:1448
        java.base/java/util/Random.java:647 ints -> java.base/jdk/internal/util/random/RandomSupport.java:1453
        # Static imports, and calls within a package whose folder holds other packages' files too.
        java.base/java/lang/constant/ClassDesc.java:77 requireNonNull -> java.base/java/util/Objects.java:207
        java.base/java/lang/constant/ClassDesc.java:78 binaryToInternal -> java.base/java/lang/constant/ConstantUtils.java:96
        java.base/java/lang/constant/ClassDesc.java:202 dropLastChar -> java.base/java/lang/constant/ConstantUtils.java:104
        java.base/java/lang/constant/ClassDesc.java:279 internalToBinary -> java.base/java/lang/constant/ConstantUtils.java:100
        java.base/java/lang/constant/DirectMethodHandleDescImpl.java:70 validateClassOrInterface -> java.base/java/lang/constant/ConstantUtils.java:84
        java.base/java/lang/constant/ClassDesc.java:77 validateBinaryClassName -> java.base/java/lang/constant/ConstantUtils.java:52
        java.base/java/lang/constant/ClassDesc.java:78 ofDescriptor -> java.base/java/lang/constant/ClassDesc.java:129
        java.base/java/lang/constant/ClassDesc.java:143 ReferenceClassDescImpl -> java.base/java/lang/constant/ReferenceClassDescImpl.java:38
        java.base/java/lang/constant/ReferenceClassDescImpl.java:38 ClassDesc -> java.base/java/lang/constant/ClassDesc.java:56
    """,
    "c": """
        # Calls of functions that a header declares and a source file of another name defines.
        di-set.c:107 hash_free -> hash.c:605
        di-set.c:119 hash_initialize -> hash.c:512
        di-set.c:175 hash_insert -> hash.c:1005
        di-set.c:237 hash_insert_if_absent -> hash.c:923
        di-set.c:259 hash_lookup -> hash.c:241
        di-set.c:140 ino_map_free -> ino-map.c:105
        di-set.c:209 ino_map_alloc -> ino-map.c:82
        di-set.c:214 ino_map_insert -> ino-map.c:118
        xhash.c:31 hash_initialize -> hash.c:512
        xhash.c:33 xalloc_die -> xalloc-die.c:32
        xhash.c:40 hash_insert -> hash.c:1005
        file-set.c:36 xmalloc -> xmalloc.c:43
        file-set.c:37 xstrdup -> xmalloc.c:337
        file-set.c:53 triple_free -> hash-triple-simple.c:54
        file-set.c:73 hash_lookup -> hash.c:241
        hash.c:445 rotr_sz -> bitrotate.h:85
        # Static functions of the same file.
        di-set.c:227 map_device -> di-set.c:155
        di-set.c:232 map_inode_number -> di-set.c:202
        hash.c:243 safe_hasher -> hash.c:232
        hash.c:505 next_prime -> hash.c:415
        hash.c:540 compute_bucket_size -> hash.c:496
        hash.c:530 check_tuning -> hash.c:464
        xmalloc.c:339 xmemdup -> xmalloc.c:312
        # Struct types.
        di-set.c:55 hash_table -> hash.c:52
        hash.c:231 hash_entry -> hash.c:46
        file-set.c:31 F_triple -> hash-triple.h:26
    """,
    "cpp": """
        # Methods of the class a definition is qualified by, called without `this`, declared in a header.
        googletest/src/gtest-filepath.cc:155 FindLastPathSeparator -> googletest/src/gtest-filepath.cc:135
        googletest/src/gtest-filepath.cc:192 ConcatPaths -> googletest/src/gtest-filepath.cc:197
        googletest/src/gtest-filepath.cc:136 c_str -> googletest/include/gtest/internal/gtest-filepath.h:81
        googletest/src/gtest-filepath.cc:200 RemoveTrailingPathSeparator -> googletest/src/gtest-filepath.cc:342
        # Through a class or a namespace path.
        googletest/src/gtest-filepath.cc:125 EndsWithCaseInsensitive -> googletest/src/gtest.cc:2131
        googletest/src/gtest.cc:196 FOpen -> googletest/include/gtest/internal/gtest-port.h:2050
        googletest/src/gtest.cc:210 GetEnv -> googletest/include/gtest/internal/gtest-port.h:2078
        googletest/src/gtest.cc:2221 Abort -> googletest/include/gtest/internal/gtest-port.h:2102
        googletest/src/gtest.cc:232 BoolFromGTestEnv -> googletest/src/gtest-port.cc:1326
        googletest/src/gtest.cc:254 StringFromGTestEnv -> googletest/src/gtest-port.cc:1383
        googletest/src/gtest.cc:289 OutputFlagAlsoCheckEnvVar -> googletest/src/gtest-port.cc:1372
        googletest/src/gtest.cc:436 GetInstance -> googletest/src/gtest.cc:5131
        googletest/src/gtest.cc:1690 CStringEquals -> googletest/src/gtest.cc:1182
        googletest/src/gtest.cc:2062 WideCStringEquals -> googletest/src/gtest.cc:2050
        googletest/src/gtest.cc:6714 InitGoogleTestImpl -> googletest/src/gtest.cc:6674
        # Free functions of the namespace, declared in a header and defined in a source file.
        googletest/src/gtest-filepath.cc:190 StreamableToString -> googletest/include/gtest/gtest-message.h:209
        googletest/src/gtest.cc:888 GetUnitTestImpl -> googletest/src/gtest-internal-inl.h:960
        googletest/src/gtest.cc:2482 GetTestTypeId -> googletest/src/gtest.cc:927
        googletest/src/gtest.cc:1213 AlwaysTrue -> googletest/src/gtest.cc:6262
        googletest/src/gtest.cc:6651 ParseGoogleTestFlagsOnlyImpl -> googletest/src/gtest.cc:6580
        # Types.
        googletest/src/gtest-filepath.cc:96 FilePath -> googletest/include/gtest/internal/gtest-filepath.h:64
        googletest/src/gtest.cc:888 UnitTestImpl -> googletest/src/gtest-internal-inl.h:504
    """,
    "javascript": """
        # CommonJS: what `require` bound to a name, called or constructed.
        semver/functions/gt.js:2 compare -> semver/functions/compare.js:2
        semver/functions/compare.js:3 SemVer -> semver/classes/semver.js:7
        semver/functions/satisfies.js:4 Range -> semver/classes/range.js:2
        semver/functions/cmp.js:27 eq -> semver/functions/eq.js:2
        semver/functions/cmp.js:33 gt -> semver/functions/gt.js:2
        semver/classes/comparator.js:8 parseOptions -> semver/internal/parse-options.js:4
        semver/classes/comparator.js:18 debug -> semver/internal/debug.js:1
        semver/classes/comparator.js:49 SemVer -> semver/classes/semver.js:7
        semver/classes/semver.js:113 compareIdentifiers -> semver/internal/identifiers.js:2
        semver/internal/identifiers.js:18 compareIdentifiers -> semver/internal/identifiers.js:2
        # Methods through `this`, and through a new object.
        semver/classes/comparator.js:21 parse -> semver/classes/comparator.js:32
        semver/classes/semver.js:104 compareMain -> semver/classes/semver.js:107
        semver/classes/range.js:34 parseRange -> semver/classes/range.js:79
        semver/classes/range.js:21 format -> semver/classes/range.js:65
        semver/functions/compare.js:3 compare -> semver/classes/semver.js:91
        # ES modules: default and named imports, an import renamed, a module named without its suffix.
        d3-array/src/groupSort.js:7 sort -> d3-array/src/sort.js:4
        d3-array/src/groupSort.js:7 rollup -> d3-array/src/group.js:27
        d3-array/src/groupSort.js:7 ascending -> d3-array/src/ascending.js:1
        d3-array/src/median.js:4 quantile -> d3-array/src/quantile.js:10
        d3-array/src/median.js:8 quantileIndex -> d3-array/src/quantile.js:35
        d3-array/src/quantile.js:11 numbers -> d3-array/src/number.js:5
        d3-array/src/quantile.js:13 min -> d3-array/src/min.js:1
        d3-array/src/quantile.js:18 quickselect -> d3-array/src/quickselect.js:5
        d3-scale/src/band.js:6 ordinal -> d3-scale/src/ordinal.js:7
        d3-scale/src/band.js:29 range as sequence -> d3-array/src/range.js:1
        d3-scale/src/quantile.js:14 quantile as threshold -> d3-array/src/quantile.js:10
        d3-interpolate/src/rgb.js:10 rgb as colorRgb -> d3-color/src/color.js:215
    """,
    "typescript": """
        # Types of classes that `import X = require(...)` binds, and an interface through a module's name.
        @types/semver/functions/satisfies.d.ts:10 Range -> @types/semver/classes/range.d.ts:5
        @types/semver/functions/satisfies.d.ts:9 SemVer -> @types/semver/classes/semver.d.ts:3
        @types/semver/functions/satisfies.d.ts:11 Options -> @types/semver/index.d.ts:114
        @types/semver/classes/range.d.ts:16 Comparator -> @types/semver/classes/comparator.d.ts:4
        @types/semver/classes/range.d.ts:6 Options -> @types/semver/index.d.ts:114
        @types/semver/classes/range.d.ts:19 Range -> @types/semver/classes/range.d.ts:5
        @types/semver/classes/comparator.d.ts:7 SemVer -> @types/semver/classes/semver.d.ts:3
        @types/semver/classes/semver.d.ts:4 SemVer -> @types/semver/classes/semver.d.ts:3
        @types/semver/functions/compare.d.ts:15 SemVer -> @types/semver/classes/semver.d.ts:3
        @types/semver/functions/gt.d.ts:7 SemVer -> @types/semver/classes/semver.d.ts:3
        @types/semver/functions/gt.d.ts:7 Options -> @types/semver/index.d.ts:114
        @types/semver/ranges/max-satisfying.d.ts:8 SemVer -> @types/semver/classes/semver.d.ts:3
        @types/semver/index.d.ts:99 SemVer -> @types/semver/classes/semver.d.ts:3
        @types/semver/index.d.ts:118 Options -> @types/semver/index.d.ts:114
        # Interfaces of the standard library's declaration files.
        typescript/lib/lib.es2015.promise.d.ts:33 PromiseLike -> typescript/lib/lib.es5.d.ts:1500
        typescript/lib/lib.es2015.iterable.d.ts:54 Iterator -> typescript/lib/lib.es2015.iterable.d.ts:43
        typescript/lib/lib.es2015.iterable.d.ts:83 ArrayLike -> typescript/lib/lib.es5.d.ts:1541
        typescript/lib/lib.es2015.iterable.d.ts:83 Iterable -> typescript/lib/lib.es2015.iterable.d.ts:50
        typescript/lib/lib.es2015.iterable.d.ts:41 IteratorReturnResult -> typescript/lib/lib.es2015.iterable.d.ts:36
        typescript/lib/lib.es2015.iterable.d.ts:65 IterableIterator -> typescript/lib/lib.es2015.iterable.d.ts:54
    """,
}


@dataclass(frozen=True)
class Case:
    language: str
    path: str
    line: int
    written: str  # the name, or qualifier.name, or "imported as local"
    definition: tuple[str, int]

    @property
    def name(self) -> str:
        """The name the use stands for."""
        return self.written.partition(" as ")[0].rpartition(".")[2]

    @property
    def shown(self) -> str:
        """The name as the line writes it."""
        return self.written.rpartition(" as ")[2].rpartition(".")[2]

    @property
    def qualifier(self) -> str | None:
        return self.written.partition(" as ")[0].rpartition(".")[0] or None

    @property
    def id(self) -> str:
        return f"{self.language}:{self.path}:{self.line}:{self.written.replace(' ', '_')}"


def _place(text: str) -> tuple[str, int]:
    path, _, line = text.rpartition(":")
    return path, int(line)


def _cases() -> Iterator[Case]:
    for language, table in GOLDEN.items():
        for row in table.splitlines():
            row = row.strip()
            if not row or row.startswith("#"):
                continue
            use, arrow, definition = row.partition(" -> ")
            place, _, written = use.partition(" ")
            assert arrow and written, row
            yield Case(language, *_place(place), written, _place(definition))


CASES = list(_cases())

# Cases the index still answers wrongly, and why: each fails until fixed.
STILL_WRONG = {
    "go:net/http/client.go:207:closeBody": "req is a local variable, whose type only its initializer tells",
    "go:net/http/transport.go:595:roundTrip": "pconn is a local variable, whose type is what getConn returns",
    "rust:semver-1.0.14/src/lib.rs:514:as_str": "the receiver is a field of self, whose type the struct's body declares",
    "java:java.base/java/util/ArrayList.java:1211:batchRemove": "root is a field, whose type the class's body declares",
    "cpp:googletest/src/gtest.cc:2221:Abort": "which of three definitions stands depends on the preprocessor's #if",
}

# (use path, line, name) -> (qualifier, [(weight, definition path, definition line)]) of each use so named there.
Resolved = dict[tuple[str, int, str], list[tuple[str, list[tuple[float, str, int]]]]]


def _resolved(index_file: Path) -> Resolved:
    from quibra.index import queries

    connection = sqlite3.connect(index_file)
    try:
        places = {
            symbol_id: (os.fsdecode(path), line)
            for symbol_id, path, line in connection.execute(
                "SELECT s.id, f.path, s.line FROM symbols AS s JOIN files AS f ON f.id = s.file_id"
            )
        }
        references = queries.all_references(connection)
    finally:
        connection.close()
    resolved: Resolved = defaultdict(list)
    for reference in references:
        resolved[(os.fsdecode(reference.path), reference.line, reference.name)].append(
            (reference.qualifier, [(weight, *places[target]) for target, weight in reference.targets])
        )
    return resolved


def _available(language: str, path: str) -> Part | None:
    """The part of the tree that holds `path`, if its package is installed."""
    for part in TREES[language]:
        if path.startswith(part.folder) and part.source.exists():
            return part
    return None


@pytest.fixture(scope="module")
def indexed(tmp_path_factory):
    """The references of each language's tree, indexed on first use."""
    built: dict[str, tuple[Path, Resolved]] = {}

    def get(language: str) -> tuple[Path, Resolved]:
        if language not in built:
            root = tmp_path_factory.mktemp(language) / "tree"
            root.mkdir()
            for part in TREES[language]:
                if part.source.exists():
                    part.copy(root)
            index_file = root.parent / "index.sqlite"
            with api.Index(root, index_file=index_file) as index:
                index.refresh()
            built[language] = (root, _resolved(index_file))
        return built[language]

    return get


@pytest.mark.parametrize(
    "case",
    [
        pytest.param(case, marks=pytest.mark.xfail(strict=True, reason=STILL_WRONG[case.id]))
        if case.id in STILL_WRONG
        else case
        for case in CASES
    ],
    ids=[case.id for case in CASES],
)
def test_a_use_resolves_to_the_definition_it_means(indexed, case):
    if _available(case.language, case.path) is None:
        pytest.skip(f"the package of {case.path} is not installed")
    root, resolved = indexed(case.language)
    source_line = (root / case.path).read_text(errors="replace").split("\n")[case.line - 1]
    if case.shown not in source_line:
        pytest.skip(f"{case.path}:{case.line} no longer uses {case.shown} (another version of the package)")
    uses = [
        targets
        for qualifier, targets in resolved.get((case.path, case.line, case.name), [])
        if case.qualifier in (None, qualifier)
    ]
    assert uses, f"no use of {case.written} recorded at {case.path}:{case.line}"
    for targets in uses:
        ordered = sorted(targets, reverse=True)
        assert ordered, f"{case.name} at {case.path}:{case.line} resolved to nothing"
        best = ordered[0][0]
        leading = [(path, line) for weight, path, line in ordered if weight == best]
        assert leading == [case.definition], ordered


def test_every_case_names_a_use_and_a_definition_within_its_tree():
    assert {case.language for case in CASES} == set(TREES)
    assert set(STILL_WRONG) <= {case.id for case in CASES}
    for case in CASES:
        for path in (case.path, case.definition[0]):
            assert any(path.startswith(part.folder) for part in TREES[case.language]), (case, path)
    assert all(sum(case.language == language for case in CASES) >= 20 for language in TREES)


# Python: a few packages of the running interpreter's standard library.
PYTHON_PARTS = tuple(
    Part(package, Path(os.__file__).parent / package, ("*.py", "*/*.py")) for package in ("email", "json", "http")
)


@pytest.mark.parametrize("language", [*TREES, "python"])
def test_definitions_grouped_by_name_resolve_as_when_looked_through_whole(tmp_path, monkeypatch, language):
    """A name defined in many places has its definitions grouped (by class,
    file, module), so that each use of it does not look through them all: a
    tree that holds each part twice, its references resolved with every
    name's definitions grouped and with none, gives the same answers."""
    from quibra.index import resolve

    parts = PYTHON_PARTS if language == "python" else TREES[language]
    if not any(part.source.exists() for part in parts):
        pytest.skip(f"no package of {language} is installed")
    root = tmp_path / "tree"
    for copy in ("one", "two"):
        for part in parts:
            if part.source.exists():
                part.copy(root / copy)
    answers = []
    for grouped_from in (1, 10**9):
        monkeypatch.setattr(resolve, "GROUPED_FROM", grouped_from)
        index_file = tmp_path / f"index-{grouped_from}.sqlite"
        with api.Index(root, index_file=index_file) as index:
            index.refresh()
        answers.append(_resolved(index_file))
    assert sum(len(uses) for uses in answers[0].values()) > 1000
    assert answers[0] == answers[1]
