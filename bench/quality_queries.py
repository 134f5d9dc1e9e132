"""Navigational queries of the quality benchmark: what a user types to find a well-known function.

Each query is written in plain words, the way someone who knows what they
want but not what it is called would ask, with the symbols that answer it.
An answer is a dotted name: the module's import path, then the qualname in
that module ("logging.handlers.RotatingFileHandler.doRollover"). When an
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
    ),
}
