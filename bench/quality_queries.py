"""Navigational queries of the quality benchmark: what a user types to find a well-known function.

Each query is written in plain words, the way someone who knows what they
want but not what it is called would ask, with the symbols that answer it.
In the Python corpora an answer is a dotted name: the module's import path,
then the qualname in that module ("logging.handlers.RotatingFileHandler.doRollover");
in the others it is a place and the qualname the language's reader gives,
"net/http:Client.Do" or "src/lib.rs:Version::parse", where the place is a
file or a folder whose own files are meant (a Go package). When an
interface and its implementation both answer (an abstract event-loop method
and the base loop's), or a function and the method that does its work, both
are accepted: either one shows the user what they came for.

These were written before any ranker was run on them and are not to be
changed to fit a ranker's output; a query that proves wrong is fixed only
when its accepted answers are wrong about the library itself.
"""

from __future__ import annotations

# corpus name -> (query, accepted answers)
NAVIGATIONAL_QUERIES: dict[str, tuple[tuple[str, tuple[str, ...]], ...]] = {
    "files": (
        ("copy a file and its permissions", ("shutil.copy", "shutil.copy2")),
        ("delete a directory tree recursively", ("shutil.rmtree",)),
        ("create a zip or tar archive of a folder", ("shutil.make_archive",)),
        ("find the full path of an executable program on PATH", ("shutil.which",)),
        ("how much free disk space is left", ("shutil.disk_usage",)),
        ("create a temporary directory that is removed automatically", ("tempfile.TemporaryDirectory",)),
        ("create a temporary file securely and return its file descriptor", ("tempfile.mkstemp",)),
        (
            "match a filename against a shell wildcard pattern",
            ("fnmatch.fnmatch", "fnmatch.fnmatchcase", "fnmatch.filter"),
        ),
        ("translate a shell pattern into a regular expression", ("fnmatch.translate",)),
        ("list files matching a pattern recursively", ("glob.glob", "glob.iglob", "pathlib.Path.rglob")),
        ("compare the files of two directories", ("filecmp.dircmp", "filecmp.cmpfiles")),
        ("get a path relative to another path", ("pathlib.PurePath.relative_to",)),
        ("read the whole file as text", ("pathlib.Path.read_text",)),
        ("expand the tilde to the user's home directory in a path", ("pathlib.Path.expanduser",)),
        ("move a file or a directory to another place", ("shutil.move",)),
        ("create a directory and any missing parent directories", ("pathlib.Path.mkdir",)),
    ),
    "email": (
        ("parse an email message from a string", ("email.message_from_string", "email.parser.Parser.parsestr")),
        ("split a From address into the real name and the email address", ("email.utils.parseaddr",)),
        ("format a date for an email Date header", ("email.utils.formatdate", "email.utils.format_datetime")),
        ("attach a file to a message", ("email.message.MIMEPart.add_attachment", "email.message.Message.attach")),
        ("get the body text of a message", ("email.message.MIMEPart.get_body", "email.message.Message.get_payload")),
        ("decode a header encoded with RFC 2047 encoded words", ("email.header.decode_header",)),
        ("generate a unique Message-ID", ("email.utils.make_msgid",)),
        (
            "turn a message into bytes for sending",
            ("email.message.Message.as_bytes", "email.generator.Generator.flatten"),
        ),
        ("parse a message from a binary file", ("email.message_from_binary_file", "email.parser.BytesParser.parse")),
        ("format a real name and an email address for a header", ("email.utils.formataddr",)),
        ("turn the Date header of a message into a datetime", ("email.utils.parsedate_to_datetime",)),
        ("go through every part of a multipart message", ("email.iterators.walk",)),
        ("get the file name of an attachment", ("email.message.Message.get_filename",)),
        (
            "which character set the body of a message uses",
            ("email.message.Message.get_content_charset", "email.message.Message.get_charsets"),
        ),
        ("encode a header that contains non-ASCII text", ("email.header.Header.encode", "email.header.make_header")),
    ),
    "http": (
        (
            "send a GET request and read the response",
            ("http.client.HTTPConnection.request", "http.client.HTTPConnection.getresponse"),
        ),
        ("parse cookies from a Cookie header string", ("http.cookies.BaseCookie.load",)),
        (
            "serve the files of the current directory over HTTP",
            (
                "http.server.SimpleHTTPRequestHandler",
                "http.server.SimpleHTTPRequestHandler.do_GET",
                "http.server.SimpleHTTPRequestHandler.send_head",
            ),
        ),
        ("send an error response with a status code", ("http.server.BaseHTTPRequestHandler.send_error",)),
        ("add the cookies from the jar to an outgoing request", ("http.cookiejar.CookieJar.add_cookie_header",)),
        ("guess the MIME type of a file", ("http.server.SimpleHTTPRequestHandler.guess_type",)),
        ("HTTP status codes with their reason phrases", ("http.HTTPStatus",)),
        (
            "read the status line and headers of a response",
            ("http.client.HTTPResponse.begin", "http.client.HTTPResponse._read_status"),
        ),
        (
            "save cookies to a file and load them again later",
            (
                "http.cookiejar.FileCookieJar.load",
                "http.cookiejar.MozillaCookieJar.save",
                "http.cookiejar.LWPCookieJar.save",
            ),
        ),
        ("open an HTTPS connection to a server", ("http.client.HTTPSConnection",)),
        ("add a header line to a request being sent", ("http.client.HTTPConnection.putheader",)),
        ("read a response body sent with chunked transfer encoding", ("http.client.HTTPResponse._read_chunked",)),
        ("an HTTP server that handles each request in its own thread", ("http.server.ThreadingHTTPServer",)),
        (
            "format a cookie as a Set-Cookie header",
            ("http.cookies.Morsel.OutputString", "http.cookies.Morsel.output", "http.cookies.BaseCookie.output"),
        ),
        (
            "write a line to the log for every request the server handles",
            ("http.server.BaseHTTPRequestHandler.log_request", "http.server.BaseHTTPRequestHandler.log_message"),
        ),
    ),
    "logging": (
        (
            "log to a file that rotates when it gets too big",
            (
                "logging.handlers.RotatingFileHandler",
                "logging.handlers.RotatingFileHandler.shouldRollover",
                "logging.handlers.RotatingFileHandler.doRollover",
            ),
        ),
        (
            "configure logging from a dictionary",
            ("logging.config.dictConfig", "logging.config.DictConfigurator.configure"),
        ),
        ("set up a basic logging configuration for the root logger", ("logging.basicConfig",)),
        ("get a logger by its name", ("logging.getLogger", "logging.Manager.getLogger")),
        ("format the time of a log record", ("logging.Formatter.formatTime",)),
        (
            "send log records over a network socket",
            (
                "logging.handlers.SocketHandler",
                "logging.handlers.SocketHandler.emit",
                "logging.handlers.SocketHandler.send",
            ),
        ),
        (
            "log an error together with the exception traceback",
            ("logging.exception", "logging.Logger.exception", "logging.LoggerAdapter.exception"),
        ),
        (
            "start a new log file every midnight",
            (
                "logging.handlers.TimedRotatingFileHandler",
                "logging.handlers.TimedRotatingFileHandler.computeRollover",
                "logging.handlers.TimedRotatingFileHandler.doRollover",
            ),
        ),
        ("write log messages to standard error", ("logging.StreamHandler", "logging.StreamHandler.emit")),
        ("send log records by email", ("logging.handlers.SMTPHandler", "logging.handlers.SMTPHandler.emit")),
        ("send log messages to syslog", ("logging.handlers.SysLogHandler", "logging.handlers.SysLogHandler.emit")),
        (
            "keep log records in memory and write them out when an error comes",
            ("logging.handlers.MemoryHandler", "logging.handlers.MemoryHandler.shouldFlush"),
        ),
        (
            "hand log records to another thread through a queue",
            ("logging.handlers.QueueHandler", "logging.handlers.QueueListener"),
        ),
        ("turn off all logging at or below a level", ("logging.disable",)),
        (
            "decide with a filter which records get logged",
            ("logging.Filterer.addFilter", "logging.Filterer.filter", "logging.Filter.filter"),
        ),
    ),
    "unittest": (
        ("assert that two floats are almost equal", ("unittest.case.TestCase.assertAlmostEqual",)),
        ("skip a test unless a condition holds", ("unittest.case.skipUnless", "unittest.case.skipIf")),
        ("check that a block of code raises an exception", ("unittest.case.TestCase.assertRaises",)),
        ("discover test modules in a directory", ("unittest.loader.TestLoader.discover",)),
        ("replace an object with a mock during a test", ("unittest.mock.patch", "unittest.mock._patch")),
        (
            "assert that the mock was called with these arguments",
            (
                "unittest.mock.NonCallableMock.assert_called_with",
                "unittest.mock.NonCallableMock.assert_called_once_with",
            ),
        ),
        (
            "run the tests from the command line",
            ("unittest.main.TestProgram", "unittest.main.TestProgram.parseArgs", "unittest.main.TestProgram.runTests"),
        ),
        ("compare two long strings and show a diff on failure", ("unittest.case.TestCase.assertMultiLineEqual",)),
        ("mark a test as expected to fail", ("unittest.case.expectedFailure",)),
        ("register a function to run after the test to clean up", ("unittest.case.TestCase.addCleanup",)),
        ("run part of a test as a separate subtest", ("unittest.case.TestCase.subTest",)),
        ("check that a warning is raised", ("unittest.case.TestCase.assertWarns",)),
        ("check that two lists have the same elements in any order", ("unittest.case.TestCase.assertCountEqual",)),
        (
            "run the tests and print the results as text",
            ("unittest.runner.TextTestRunner", "unittest.runner.TextTestRunner.run"),
        ),
        ("check that some code logs a message", ("unittest.case.TestCase.assertLogs",)),
    ),
    "asyncio": (
        ("run a coroutine with a timeout", ("asyncio.tasks.wait_for", "asyncio.timeouts.timeout")),
        (
            "run several coroutines concurrently and collect their results",
            ("asyncio.tasks.gather", "asyncio.taskgroups.TaskGroup"),
        ),
        ("open a TCP connection and get a reader and a writer", ("asyncio.streams.open_connection",)),
        (
            "start a subprocess and read its output",
            (
                "asyncio.subprocess.create_subprocess_exec",
                "asyncio.subprocess.create_subprocess_shell",
                "asyncio.subprocess.Process.communicate",
            ),
        ),
        ("sleep for some seconds without blocking the event loop", ("asyncio.tasks.sleep",)),
        (
            "run a blocking function in a thread",
            (
                "asyncio.threads.to_thread",
                "asyncio.base_events.BaseEventLoop.run_in_executor",
                "asyncio.events.AbstractEventLoop.run_in_executor",
            ),
        ),
        (
            "schedule a callback to run after a delay",
            ("asyncio.base_events.BaseEventLoop.call_later", "asyncio.events.AbstractEventLoop.call_later"),
        ),
        ("cancel a running task", ("asyncio.tasks.Task.cancel",)),
        ("protect a task from being cancelled", ("asyncio.tasks.shield",)),
        (
            "start a TCP server",
            ("asyncio.streams.start_server", "asyncio.base_events.BaseEventLoop.create_server"),
        ),
        ("wait until the first of several tasks is done", ("asyncio.tasks.wait", "asyncio.tasks.as_completed")),
        (
            "a queue for passing items between coroutines",
            ("asyncio.queues.Queue", "asyncio.queues.Queue.put", "asyncio.queues.Queue.get"),
        ),
        (
            "limit how many coroutines run a section at the same time",
            ("asyncio.locks.Semaphore", "asyncio.locks.BoundedSemaphore"),
        ),
        ("submit a coroutine to the event loop from another thread", ("asyncio.tasks.run_coroutine_threadsafe",)),
        ("read one line from a stream", ("asyncio.streams.StreamReader.readline",)),
    ),
    "go-net-http": (
        ("send a GET request to a URL", ("net/http:Get", "net/http:Client.Get")),
        ("start a web server listening on a port", ("net/http:ListenAndServe", "net/http:Server.ListenAndServe")),
        ("register a handler function for a URL path", ("net/http:HandleFunc", "net/http:ServeMux.HandleFunc")),
        ("serve static files from a directory", ("net/http:FileServer", "net/http:ServeFile")),
        ("set a cookie on the response", ("net/http:SetCookie",)),
        ("parse the form values of a request", ("net/http:Request.ParseForm", "net/http:Request.FormValue")),
        ("redirect the client to another URL", ("net/http:Redirect",)),
        ("shut down the server gracefully", ("net/http:Server.Shutdown",)),
        ("limit the size of a request body", ("net/http:MaxBytesReader",)),
        ("guess the content type of some bytes", ("net/http:DetectContentType",)),
        ("username and password of basic authentication", ("net/http:Request.BasicAuth",)),
        ("dump a request as text for debugging", ("net/http/httputil:DumpRequest", "net/http/httputil:DumpRequestOut")),
        (
            "reverse proxy that forwards requests to another server",
            ("net/http/httputil:NewSingleHostReverseProxy", "net/http/httputil:ReverseProxy.ServeHTTP"),
        ),
        ("record a handler's response in a test", ("net/http/httptest:NewRecorder",)),
        ("set a header value", ("net/http:Header.Set", "net/http:Header.Add")),
        ("read a cookie sent with the request", ("net/http:Request.Cookie", "net/http:Request.Cookies")),
    ),
    "go-encoding": (
        ("encode a value as JSON", ("encoding/json:Marshal",)),
        ("decode JSON into a struct", ("encoding/json:Unmarshal", "encoding/json:Decoder.Decode")),
        ("pretty print JSON with indentation", ("encoding/json:MarshalIndent", "encoding/json:Indent")),
        ("encode bytes as a base64 string", ("encoding/base64:Encoding.EncodeToString",)),
        ("read all records of a CSV file", ("encoding/csv:Reader.ReadAll", "encoding/csv:Reader.Read")),
        ("encode bytes as a hexadecimal string", ("encoding/hex:EncodeToString",)),
        ("decode a PEM block", ("encoding/pem:Decode",)),
        ("parse XML into a struct", ("encoding/xml:Unmarshal", "encoding/xml:Decoder.Decode")),
        ("write a variable-length integer", ("encoding/binary:PutUvarint", "encoding/binary:PutVarint")),
        ("decode a base64 string", ("encoding/base64:Encoding.DecodeString",)),
        ("write records to a CSV file", ("encoding/csv:Writer.Write", "encoding/csv:Writer.WriteAll")),
        ("read binary data in a given byte order into a struct", ("encoding/binary:Read",)),
        ("decode a hexadecimal string into bytes", ("encoding/hex:DecodeString",)),
        ("print a hex dump of some bytes", ("encoding/hex:Dump", "encoding/hex:Dumper")),
        ("serialize a value in the gob format", ("encoding/gob:Encoder.Encode", "encoding/gob:NewEncoder")),
        ("write a PEM block", ("encoding/pem:Encode", "encoding/pem:EncodeToMemory")),
    ),
    "go-text": (
        ("split a string at a separator", ("strings:Split",)),
        ("replace all occurrences of a substring", ("strings:ReplaceAll", "strings:Replace")),
        ("remove leading and trailing whitespace", ("strings:TrimSpace",)),
        ("convert a string to an integer", ("strconv:Atoi", "strconv:ParseInt")),
        ("format a float as a string", ("strconv:FormatFloat",)),
        ("quote a string with Go escapes", ("strconv:Quote",)),
        ("compile a regular expression", ("regexp:Compile", "regexp:MustCompile")),
        ("find all matches of a regular expression", ("regexp:Regexp.FindAllString", "regexp:Regexp.FindAll")),
        ("check whether a rune is a letter", ("unicode:IsLetter",)),
        ("execute a template with data", ("text/template:Template.Execute",)),
        ("align text in columns", ("text/tabwriter:NewWriter", "text/tabwriter:Writer.Init")),
        ("build a string efficiently piece by piece", ("strings:Builder.WriteString", "strings:Builder.String")),
        ("check whether a string starts with a prefix", ("strings:HasPrefix",)),
        ("convert a string to upper case", ("strings:ToUpper",)),
        ("parse a boolean from a string", ("strconv:ParseBool",)),
        (
            "replace the matches of a regular expression",
            ("regexp:Regexp.ReplaceAllString", "regexp:Regexp.ReplaceAll"),
        ),
    ),
    "rust-regex-syntax": (
        ("parse a regular expression into a syntax tree", ("src/ast/parse.rs:Parser::parse",)),
        (
            "translate the syntax tree into the high-level representation",
            ("src/hir/translate.rs:Translator::translate",),
        ),
        ("escape the meta characters of a string", ("src/lib.rs:escape", "src/lib.rs:escape_into")),
        (
            "check whether a character is a word character",
            ("src/lib.rs:is_word_character", "src/lib.rs:try_is_word_character"),
        ),
        ("negate a character class", ("src/hir/mod.rs:ClassUnicode::negate", "src/hir/mod.rs:ClassBytes::negate")),
        (
            "print a syntax tree back as a pattern",
            ("src/ast/print.rs:Printer::print", "src/hir/print.rs:Printer::print"),
        ),
        (
            "UTF-8 byte sequences for a range of code points",
            ("src/utf8.rs:Utf8Sequences::new", "src/utf8.rs:Utf8Sequences"),
        ),
        ("is this character a regex meta character", ("src/lib.rs:is_meta_character",)),
        (
            "make a character class match regardless of case",
            (
                "src/hir/mod.rs:Class::case_fold_simple",
                "src/hir/mod.rs:ClassUnicode::case_fold_simple",
                "src/hir/mod.rs:ClassBytes::case_fold_simple",
            ),
        ),
        ("union of two character classes", ("src/hir/mod.rs:ClassUnicode::union", "src/hir/mod.rs:ClassBytes::union")),
        (
            "intersection of two character classes",
            ("src/hir/mod.rs:ClassUnicode::intersect", "src/hir/mod.rs:ClassBytes::intersect"),
        ),
        ("the literal prefixes of a regular expression", ("src/hir/literal/mod.rs:Literals::prefixes",)),
        (
            "walk the syntax tree with a visitor without recursion",
            ("src/ast/visitor.rs:visit", "src/hir/visitor.rs:visit"),
        ),
        ("the Unicode class of decimal digits", ("src/unicode.rs:perl_digit",)),
        ("look up a Unicode property class by its name", ("src/unicode.rs:class",)),
    ),
    "rust-semver": (
        ("parse a version string", ("src/lib.rs:Version::parse", "src/parse.rs:Version::from_str")),
        (
            "check whether a version satisfies a requirement",
            ("src/lib.rs:VersionReq::matches", "src/eval.rs:matches_req"),
        ),
        ("parse a version requirement", ("src/lib.rs:VersionReq::parse", "src/parse.rs:VersionReq::from_str")),
        ("create a version from major, minor and patch numbers", ("src/lib.rs:Version::new",)),
        ("compare pre-release identifiers", ("src/impls.rs:Prerelease::cmp",)),
        (
            "check whether a version matches one comparator",
            ("src/lib.rs:Comparator::matches", "src/eval.rs:matches_comparator"),
        ),
        ("which versions a caret requirement like ^1.2 allows", ("src/eval.rs:matches_caret",)),
        ("which versions a tilde requirement like ~1.2 allows", ("src/eval.rs:matches_tilde",)),
        (
            "create a pre-release identifier from text",
            ("src/lib.rs:Prerelease::new", "src/parse.rs:Prerelease::from_str"),
        ),
        ("create build metadata from text", ("src/lib.rs:BuildMetadata::new", "src/parse.rs:BuildMetadata::from_str")),
        ("write a version out as a string", ("src/display.rs:Version::fmt",)),
        (
            "parse one comparator such as >=1.2.3",
            ("src/lib.rs:Comparator::parse", "src/parse.rs:Comparator::from_str"),
        ),
        ("serialize a version with serde", ("src/serde.rs:Version::serialize",)),
        ("order two build metadata values", ("src/impls.rs:BuildMetadata::cmp",)),
        ("the message of a parse error", ("src/error.rs:Error::fmt",)),
        ("whether a pre-release version can satisfy a requirement", ("src/eval.rs:pre_is_compatible",)),
    ),
    "rust-itertools": (
        ("group consecutive elements by a key", ("src/lib.rs:Itertools::group_by",)),
        ("all combinations of k elements", ("src/lib.rs:Itertools::combinations",)),
        ("cartesian product of two iterators", ("src/lib.rs:Itertools::cartesian_product",)),
        ("join the elements into a string with a separator", ("src/lib.rs:Itertools::join",)),
        ("alternate elements from two iterators", ("src/lib.rs:Itertools::interleave",)),
        ("remove duplicate elements", ("src/lib.rs:Itertools::unique", "src/lib.rs:Itertools::dedup")),
        ("minimum and maximum in one pass", ("src/lib.rs:Itertools::minmax",)),
        (
            "look ahead several elements without consuming them",
            ("src/peek_nth.rs:peek_nth", "src/peek_nth.rs:PeekNth::peek_nth"),
        ),
        ("split the elements into two collections by a function", ("src/lib.rs:Itertools::partition_map",)),
        ("take the elements in chunks of a fixed size", ("src/lib.rs:Itertools::chunks",)),
        ("iterate over overlapping pairs of neighbouring elements", ("src/lib.rs:Itertools::tuple_windows",)),
        (
            "sort the elements and iterate over them",
            ("src/lib.rs:Itertools::sorted", "src/lib.rs:Itertools::sorted_by"),
        ),
        ("count how many times each element occurs", ("src/lib.rs:Itertools::counts",)),
        ("merge two sorted iterators into one sorted iterator", ("src/lib.rs:Itertools::merge",)),
        ("all orderings of k elements", ("src/lib.rs:Itertools::permutations",)),
        ("collect the elements into a hash map of lists by key", ("src/lib.rs:Itertools::into_group_map",)),
    ),
    "js-lodash": (
        ("split an array into chunks of a given size", ("chunk.js:chunk",)),
        ("remove duplicate values from an array", ("uniq.js:uniq",)),
        ("delay calling a function until calls stop for a while", ("debounce.js:debounce",)),
        ("call a function at most once per time interval", ("throttle.js:throttle",)),
        ("deep copy an object", ("cloneDeep.js:cloneDeep",)),
        ("get a nested property by its path", ("get.js:get", "_baseGet.js:baseGet")),
        ("merge objects recursively", ("merge.js:merge", "_baseMerge.js:baseMerge")),
        ("check whether a value is empty", ("isEmpty.js:isEmpty",)),
        ("compare two values deeply for equality", ("isEqual.js:isEqual", "_baseIsEqual.js:baseIsEqual")),
        ("flatten nested arrays all the way down", ("flattenDeep.js:flattenDeep",)),
        ("call a function only once", ("once.js:once",)),
        ("pick some properties of an object", ("pick.js:pick", "_basePick.js:basePick")),
        ("a random number between two bounds", ("random.js:random", "_baseRandom.js:baseRandom")),
        ("set a nested property by its path", ("set.js:set", "_baseSet.js:baseSet")),
        ("cache the results of a function by its arguments", ("memoize.js:memoize",)),
        ("pad a string on the left to a given length", ("padStart.js:padStart",)),
    ),
    "ts-lib-es": (
        ("parse a JSON string", ("lib.es5.d.ts:JSON.parse",)),
        ("convert a value to a JSON string", ("lib.es5.d.ts:JSON.stringify",)),
        ("sort the elements of an array", ("lib.es5.d.ts:Array.sort",)),
        ("join array elements into a string", ("lib.es5.d.ts:Array.join", "lib.es5.d.ts:ReadonlyArray.join")),
        ("find the first element that matches a condition", ("lib.es2015.core.d.ts:Array.find",)),
        ("round a number to the nearest integer", ("lib.es5.d.ts:Math.round",)),
        ("remove whitespace from both ends of a string", ("lib.es5.d.ts:String.trim",)),
        (
            "wait until all promises are resolved",
            ("lib.es2015.promise.d.ts:PromiseConstructor.all", "lib.es2015.iterable.d.ts:PromiseConstructor.all"),
        ),
        ("check whether an array contains a value", ("lib.es2016.array.include.d.ts:Array.includes",)),
        ("create an object with a given prototype", ("lib.es5.d.ts:ObjectConstructor.create",)),
        ("check whether a string starts with another string", ("lib.es2015.core.d.ts:String.startsWith",)),
        ("pad a string at the start to a given length", ("lib.es2017.string.d.ts:String.padStart",)),
        (
            "create an array from an iterable or an array-like object",
            ("lib.es2015.core.d.ts:ArrayConstructor.from", "lib.es2015.iterable.d.ts:ArrayConstructor.from"),
        ),
        ("copy the properties of objects onto a target object", ("lib.es2015.core.d.ts:ObjectConstructor.assign",)),
        ("the key and value pairs of an object", ("lib.es2017.object.d.ts:ObjectConstructor.entries",)),
        ("parse an integer from a string", ("lib.es5.d.ts:parseInt",)),
    ),
    "java-util": (
        (
            "sort a list with a comparator",
            ("java.base/java/util/Collections.java:Collections.sort", "java.base/java/util/List.java:List.sort"),
        ),
        ("shuffle a list randomly", ("java.base/java/util/Collections.java:Collections.shuffle",)),
        ("binary search in a sorted array", ("java.base/java/util/Arrays.java:Arrays.binarySearch",)),
        ("fill an array with a value", ("java.base/java/util/Arrays.java:Arrays.fill",)),
        ("generate a random UUID", ("java.base/java/util/UUID.java:UUID.randomUUID",)),
        ("throw if an argument is null", ("java.base/java/util/Objects.java:Objects.requireNonNull",)),
        ("a map that remembers insertion order", ("java.base/java/util/LinkedHashMap.java:LinkedHashMap",)),
        ("split a string into tokens", ("java.base/java/util/StringTokenizer.java:StringTokenizer",)),
        ("read an integer from the input", ("java.base/java/util/Scanner.java:Scanner.nextInt",)),
        ("count the bits that are set", ("java.base/java/util/BitSet.java:BitSet.cardinality",)),
        (
            "an unmodifiable view of a list",
            ("java.base/java/util/Collections.java:Collections.unmodifiableList",),
        ),
        (
            "copy part of an array into a new array",
            ("java.base/java/util/Arrays.java:Arrays.copyOfRange", "java.base/java/util/Arrays.java:Arrays.copyOf"),
        ),
        (
            "a queue that hands out the smallest element first",
            ("java.base/java/util/PriorityQueue.java:PriorityQueue",),
        ),
        ("check whether two arrays are equal", ("java.base/java/util/Arrays.java:Arrays.equals",)),
        ("the value, or a default when it is absent", ("java.base/java/util/Optional.java:Optional.orElse",)),
        ("compute a hash code from several values", ("java.base/java/util/Objects.java:Objects.hash",)),
    ),
}

# A second set, written later in the same way and kept apart from the first, so
# that a change made while reading the first set's misses is checked on queries
# it was not made for. Nothing here was written or changed after a ranker ran on it.
LATER_NAVIGATIONAL_QUERIES: dict[str, tuple[tuple[str, tuple[str, ...]], ...]] = {
    "go-net-http": (
        ("the text of an HTTP status code", ("net/http:StatusText",)),
        ("reply to a request with an error message and a status code", ("net/http:Error",)),
        (
            "remove a prefix from the URL path before a handler sees the request",
            ("net/http:StripPrefix",),
        ),
        ("give up on a handler that takes too long to answer", ("net/http:TimeoutHandler",)),
        ("which proxy to use according to the environment variables", ("net/http:ProxyFromEnvironment",)),
        ("get an uploaded file from a multipart form", ("net/http:Request.FormFile",)),
        (
            "create a request that carries a context",
            ("net/http:NewRequestWithContext", "net/http:Request.WithContext"),
        ),
        ("read an HTTP response from a buffered connection", ("net/http:ReadResponse",)),
        ("the canonical form of a header name", ("net/http:CanonicalHeaderKey",)),
        (
            "close the idle keep-alive connections of a client",
            ("net/http:Client.CloseIdleConnections", "net/http:Transport.CloseIdleConnections"),
        ),
    ),
    "go-encoding": (
        ("check whether some bytes are valid JSON", ("encoding/json:Valid",)),
        ("remove insignificant whitespace from JSON", ("encoding/json:Compact",)),
        ("reject unknown fields when decoding JSON into a struct", ("encoding/json:Decoder.DisallowUnknownFields",)),
        ("decode JSON numbers as Number instead of float64", ("encoding/json:Decoder.UseNumber",)),
        (
            "register a concrete type to send as an interface value with gob",
            ("encoding/gob:Register", "encoding/gob:RegisterName"),
        ),
        ("escape the special XML characters of a text", ("encoding/xml:EscapeText", "encoding/xml:Escape")),
        ("base64 encoding without padding characters", ("encoding/base64:Encoding.WithPadding",)),
        ("how many bytes the binary encoding of a value takes", ("encoding/binary:Size",)),
        (
            "read a signed variable-length integer from a byte reader",
            ("encoding/binary:ReadVarint",),
        ),
        ("parse ASN.1 DER data into a Go value", ("encoding/asn1:Unmarshal",)),
    ),
    "go-text": (
        ("compare two strings ignoring case", ("strings:EqualFold",)),
        ("split a string around runs of whitespace", ("strings:Fields",)),
        ("escape the special characters of a regular expression", ("regexp:QuoteMeta",)),
        (
            "get the text of the capture groups of a match",
            ("regexp:Regexp.FindStringSubmatch", "regexp:Regexp.FindSubmatch"),
        ),
        (
            "count the characters of a UTF-8 string",
            ("unicode/utf8:RuneCountInString", "unicode/utf8:RuneCount"),
        ),
        ("remove the quotes around a quoted string literal", ("strconv:Unquote",)),
        ("replace several strings at once with pairs of old and new", ("strings:NewReplacer",)),
        ("add custom functions that a template can call", ("text/template:Template.Funcs",)),
        ("cut a string around the first instance of a separator", ("strings:Cut",)),
        ("convert an integer to a string", ("strconv:Itoa", "strconv:FormatInt")),
    ),
    "rust-regex-syntax": (
        (
            "make the parser match letters regardless of case",
            ("src/parser.rs:ParserBuilder::case_insensitive", "src/hir/translate.rs:TranslatorBuilder::case_insensitive"),
        ),
        (
            "limit how deeply a pattern may nest",
            ("src/parser.rs:ParserBuilder::nest_limit", "src/ast/parse.rs:ParserBuilder::nest_limit"),
        ),
        ("the literal suffixes of a regular expression", ("src/hir/literal/mod.rs:Literals::suffixes",)),
        (
            "difference of two character classes",
            ("src/hir/mod.rs:ClassUnicode::difference", "src/hir/mod.rs:ClassBytes::difference"),
        ),
        ("check whether an expression can match the empty string", ("src/hir/mod.rs:Hir::is_match_empty",)),
        (
            "allow whitespace and comments inside a pattern",
            ("src/parser.rs:ParserBuilder::ignore_whitespace", "src/ast/parse.rs:ParserBuilder::ignore_whitespace"),
        ),
        ("the capture index of a group", ("src/ast/mod.rs:Group::capture_index",)),
        ("look up an ASCII character class such as alpha by its name", ("src/ast/mod.rs:ClassAsciiKind::from_name",)),
        ("parse a pattern and keep its comments", ("src/ast/parse.rs:Parser::parse_with_comments",)),
        ("an expression that matches any character", ("src/hir/mod.rs:Hir::any", "src/hir/mod.rs:Hir::dot")),
    ),
    "rust-semver": (
        ("deserialize a version requirement with serde", ("src/serde.rs:VersionReq::deserialize",)),
        ("parse the comparison operator at the start of a requirement", ("src/parse.rs:op",)),
        ("check whether a version is greater than a comparator allows", ("src/eval.rs:matches_greater",)),
        ("the kinds of comparison operator a requirement can use", ("src/lib.rs:Op",)),
        ("the text of a pre-release identifier", ("src/lib.rs:Prerelease::as_str",)),
        ("whether a version has no build metadata", ("src/lib.rs:BuildMetadata::is_empty",)),
        ("parse a numeric part of a version, refusing leading zeros", ("src/parse.rs:numeric_identifier",)),
        ("write a version requirement out as a string", ("src/display.rs:VersionReq::fmt",)),
        ("a semantic version with major, minor and patch numbers", ("src/lib.rs:Version",)),
        ("collect comparators into a version requirement", ("src/impls.rs:VersionReq::from_iter",)),
    ),
    "rust-itertools": (
        ("all subsets of the elements", ("src/lib.rs:Itertools::powerset", "src/powerset.rs:powerset")),
        ("the k smallest elements", ("src/lib.rs:Itertools::k_smallest",)),
        (
            "pair up the elements of two iterators until both run out",
            ("src/lib.rs:Itertools::zip_longest", "src/zip_longest.rs:zip_longest"),
        ),
        ("check whether all elements are equal", ("src/lib.rs:Itertools::all_equal",)),
        ("the index of the largest element", ("src/lib.rs:Itertools::position_max",)),
        (
            "put a separator between every two elements",
            ("src/lib.rs:Itertools::intersperse", "src/intersperse.rs:intersperse", "src/free.rs:intersperse"),
        ),
        ("apply a function again and again to a value to make a sequence", ("src/sources.rs:iterate",)),
        ("the only element, or an error when there is not exactly one", ("src/lib.rs:Itertools::exactly_one",)),
        ("merge many sorted iterators into one", ("src/lib.rs:Itertools::kmerge", "src/kmerge_impl.rs:kmerge")),
        ("the elements that occur more than once", ("src/lib.rs:Itertools::duplicates",)),
    ),
    "js-lodash": (
        ("convert a string to camel case", ("camelCase.js:camelCase",)),
        ("group the elements of a collection by a key", ("groupBy.js:groupBy",)),
        (
            "the values of the first array that are not in the other arrays",
            ("difference.js:difference", "_baseDifference.js:baseDifference"),
        ),
        ("an object without some of its properties", ("omit.js:omit",)),
        ("escape the HTML special characters of a string", ("escape.js:escape",)),
        ("pick a random element of a collection", ("sample.js:sample", "_arraySample.js:arraySample")),
        (
            "sort a collection by several properties",
            ("sortBy.js:sortBy", "orderBy.js:orderBy", "_baseOrderBy.js:baseOrderBy"),
        ),
        ("fill in the placeholders of a template string with data", ("template.js:template",)),
        ("a function that calls functions one after the other, each with the result of the last", ("flow.js:flow",)),
        ("check whether a value is a plain object", ("isPlainObject.js:isPlainObject",)),
    ),
    "ts-lib-es": (
        (
            "the index of the first array element that passes a test",
            ("lib.es2015.core.d.ts:Array.findIndex", "lib.es2015.core.d.ts:ReadonlyArray.findIndex"),
        ),
        ("build an object from a list of key and value pairs", ("lib.es2019.object.d.ts:ObjectConstructor.fromEntries",)),
        (
            "flatten the sub-arrays of an array up to a depth",
            ("lib.es2019.array.d.ts:Array.flat", "lib.es2019.array.d.ts:ReadonlyArray.flat"),
        ),
        (
            "settle as soon as the first of several promises settles",
            ("lib.es2015.promise.d.ts:PromiseConstructor.race", "lib.es2015.iterable.d.ts:PromiseConstructor.race"),
        ),
        ("repeat a string a number of times", ("lib.es2015.core.d.ts:String.repeat",)),
        ("check whether a value is an array", ("lib.es5.d.ts:ArrayConstructor.isArray",)),
        ("prevent an object from being changed", ("lib.es5.d.ts:ObjectConstructor.freeze",)),
        (
            "replace every occurrence of a substring",
            ("lib.es2021.string.d.ts:String.replaceAll", "lib.esnext.string.d.ts:String.replaceAll"),
        ),
        ("the largest of some numbers", ("lib.es5.d.ts:Math.max",)),
        ("encode a string for use as a component of a URI", ("lib.es5.d.ts:encodeURIComponent",)),
        (
            "wait for all promises to settle, fulfilled or rejected",
            ("lib.es2020.promise.d.ts:PromiseConstructor.allSettled",),
        ),
    ),
    "java-util": (
        ("reverse the order of a list", ("java.base/java/util/Collections.java:Collections.reverse",)),
        ("turn an array into a fixed-size list", ("java.base/java/util/Arrays.java:Arrays.asList",)),
        ("a thread-safe wrapper around a map", ("java.base/java/util/Collections.java:Collections.synchronizedMap",)),
        ("the largest element of a collection", ("java.base/java/util/Collections.java:Collections.max",)),
        (
            "a string that shows the contents of an array",
            ("java.base/java/util/Arrays.java:Arrays.toString", "java.base/java/util/Arrays.java:Arrays.deepToString"),
        ),
        (
            "encode bytes as a base64 string",
            (
                "java.base/java/util/Base64.java:Base64.Encoder.encodeToString",
                "java.base/java/util/Base64.java:Base64.Encoder.encode",
            ),
        ),
        ("format a string with arguments the way printf does", ("java.base/java/util/Formatter.java:Formatter.format",)),
        ("load key and value properties from a file", ("java.base/java/util/Properties.java:Properties.load",)),
        ("a map kept sorted by its keys", ("java.base/java/util/TreeMap.java:TreeMap",)),
        (
            "the value of a key, or a default when the map has none",
            ("java.base/java/util/Map.java:Map.getOrDefault", "java.base/java/util/HashMap.java:HashMap.getOrDefault"),
        ),
        ("run a task again and again at a fixed rate", ("java.base/java/util/Timer.java:Timer.scheduleAtFixedRate",)),
    ),
}
