"""Runs the real plug-in executable the way the host agent does: CGI
variables in the environment, one reply on standard output."""
import json
import os
import shlex
import socket
import subprocess
import sys
import time
import unittest

import jsonschema

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
RUN = shlex.split(os.environ.get("TARVIK_RUN", os.path.join(ROOT, "build/linux/plugin_tarvik")))


def _wine_prepare():
    # A new prefix would otherwise offer to install .NET and HTML engines.
    os.environ.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    os.environ["WINEDEBUG"] = "-all"
    # The wineserver and the helper processes that the first run of a prefix
    # starts would inherit (and hold open) that run's pipes; a persistent
    # server and a warm-up run with no pipes keep them off the tests' pipes.
    # The server only starts in a folder that exists; without it each run
    # would start a server that quits seconds after, and a run that meets
    # one quitting fails.
    os.makedirs(os.environ.get("WINEPREFIX") or os.path.expanduser("~/.wine"), exist_ok=True)
    for warm_up in (["wineserver", "-p"], RUN + ["--meta"]):
        subprocess.run(warm_up, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=False, timeout=120)


class Target:
    """One build the suites run against, started through its toolchain's
    emulator (TARVIK_LAUNCHER; TARVIK_RUN is the launcher and the executable).
      system      what the plug-in was built for: linux or windows;
      parallel    how many runs a suite may start at once;
      slow_start  each start costs a good part of a second: random rounds
                  are fewer;
      no_load     None, or why the load suite does not run;
      no_ipv6     None, or why ::1 may be unusable (rows that need it skip);
      start_error the launcher's own start-up failure, which the plug-in
                  never shows: (exit status, stderr prefix), with no output
                  and stderr empty or opening with the prefix; None where
                  the launcher has none;
      env         what every run's environment carries;
      prepare     done once before the first run."""

    def __init__(self, name, system, parallel=16, slow_start=False, no_load=None, no_ipv6=None,
                 start_error=None, env=None, prepare=None):
        self.name, self.system, self.parallel, self.slow_start = name, system, parallel, slow_start
        self.no_load, self.no_ipv6, self.start_error = no_load, no_ipv6, start_error
        self.env, self.prepare = env or {}, prepare


TARGETS = {t.name: t for t in (
    Target("linux", "linux"),
    # Under qemu-user, 32 starts at once take the load suite from seconds
    # to four minutes of two cores, and measure the emulator more than the
    # build; every other suite runs.
    Target("arm64", "linux",
           no_load="under qemu-user the load suite takes minutes and loads the emulator "
                   "rather than the build; the load runs against the Linux build"),
    # Wine itself fails about once in a thousand starts, more often when
    # many start at once; it reads the environment's bytes in the locale's
    # character set.
    Target("windows", "windows", parallel=4, slow_start=True,
           no_load="with 32 Wine processes starting at once, Wine itself fails about one start "
                   "in a thousand (exit 1, no output); the load runs against the Linux build",
           no_ipv6="IPv6 loopback (::1) is not usable under Wine here",
           start_error=(1, b"wine client error:"),
           env={"WINEDEBUG": "-all", "LANG": "C.UTF-8"}, prepare=_wine_prepare),
)}
TARGET = TARGETS[os.environ.get("TARVIK_TARGET", "linux")]
PLATFORM = TARGET.system
# The namespace suite gives Wine a prefix and a server of the namespace's
# own, and knows how Wine's adapter table differs.
UNDER_WINE = TARGET.name == "windows"
# A suite fails when more runs than this needed a second start.
MAX_RETRIES = 2
retried = []
if TARGET.prepare:
    TARGET.prepare()

JSON_HEAD = (b"Content-Type: application/json; charset=utf-8\r\n"
             b"Cache-Control: no-store\r\n"
             b"X-Content-Type-Options: nosniff\r\n\r\n")
META = b'{"name":"tarvik","desc":"Net checks"}\n'
REFUSAL = (b"Status: 401 Unauthorized\r\n" + JSON_HEAD +
           b'{"ok":false,"error":"invalid node password"}\n')


SCHEMA_DIR = os.path.join(ROOT, "docs", "api")
KINDS = ("info", "ifaces", "dns", "tcp", "http", "error")
COUNTED = {"ifaces": [("count", "interfaces"), ("nameserver_count", "nameservers")],
           "dns": [("count", "results")]}
_validators = {}


def _is_integer(checker, instance):
    # Integers are written with %d or %lld: 3.0 and 3e3 are floats, however
    # whole their value, and no integer of these documents.
    return isinstance(instance, int) and not isinstance(instance, bool)


def _no_float_for(keyword):
    """The keyword as the draft has it, but refusing a float where the
    schema names only integers (const 3000 is not met by 3000.0)."""
    plain = jsonschema.Draft202012Validator.VALIDATORS[keyword]

    def check(validator, value, instance, schema):
        allowed = value if keyword == "enum" else [value]
        if isinstance(instance, float) and not any(isinstance(v, float) for v in allowed):
            yield jsonschema.ValidationError("%r is a float, not %r" % (instance, value))
        else:
            yield from plain(validator, value, instance, schema)
    return check


StrictValidator = jsonschema.validators.extend(
    jsonschema.Draft202012Validator,
    validators={"const": _no_float_for("const"), "enum": _no_float_for("enum")},
    type_checker=jsonschema.Draft202012Validator.TYPE_CHECKER.redefine("integer", _is_integer))


def validator(kind):
    """The Draft 2020-12 validator of one document kind, read once from
    docs/api, with integers taken strictly."""
    if kind not in _validators:
        with open(os.path.join(SCHEMA_DIR, kind + ".schema.json"), encoding="utf-8") as f:
            schema = json.load(f)
        jsonschema.Draft202012Validator.check_schema(schema)
        _validators[kind] = StrictValidator(schema)
    return _validators[kind]


def kind_of(doc):
    """The schema a parsed document answers to: error when ok is false, else
    its action, else info."""
    if isinstance(doc, dict):
        if doc.get("ok") is False:
            return "error"
        if doc.get("action") in KINDS:
            return doc["action"]
    return "info"


def _no_constant(name):
    raise ValueError("%s is no JSON number" % name)


def _no_negative_zero(parse):
    """parse, refusing -0 and -0.0: the C library writes those only for a
    negative value that its format rounded away."""
    def number(text):
        value = parse(text)
        if value == 0 and text.startswith("-"):
            raise ValueError("negative zero: %s" % text)
        return value
    return number


def _unique_keys(pairs):
    doc = dict(pairs)
    if len(doc) != len(pairs):
        raise ValueError("a key appears twice: %r" % [k for k, _ in pairs])
    return doc


def validated(body, kind=None):
    """Parses one JSON document (bytes or str), checks it against its schema
    (kind None: deduced from the document), that no key appears twice and
    that each count matches its list, and returns the parsed dict. Raises
    AssertionError naming every violation."""
    # Texts pass through byte for byte, so a body need not be UTF-8.
    text = body.decode("utf-8", "surrogateescape") if isinstance(body, (bytes, bytearray)) else body
    try:
        doc = json.loads(text, object_pairs_hook=_unique_keys, parse_constant=_no_constant,
                         parse_float=_no_negative_zero(float), parse_int=_no_negative_zero(int))
    except ValueError as e:
        raise AssertionError("not a JSON document (%s): %r" % (e, text[:300])) from None
    kind = kind or kind_of(doc)
    errors = sorted(validator(kind).iter_errors(doc), key=lambda e: list(e.absolute_path))
    lines = ["%s: %s" % ("/".join(map(str, e.absolute_path)) or "(document)", e.message)
             for e in errors]
    if not errors:
        # What a schema cannot say: each count is the length of its list.
        for count, items in COUNTED.get(kind, ()):
            if doc[count] != len(doc[items]):
                lines.append("%s: %r, but %s holds %d" % (count, doc[count], items, len(doc[items])))
    if lines:
        raise AssertionError("%s document breaks %s.schema.json:\n  %s\n%s"
                             % (kind, kind, "\n  ".join(lines), text[:600]))
    return doc


def json_reply(out):
    """The document of one whole CGI reply whose header block says JSON,
    validated, with its status line matching it (none for a document with
    ok true, 401 for the refusal, 400 for any other error). None for any
    other reply (the page, the meta line)."""
    head, sep, body = out.partition(b"\r\n\r\n")
    lines = head.split(b"\r\n")
    if not sep or b"Content-Type: application/json; charset=utf-8" not in lines:
        return None
    doc = validated(body)
    status = lines[0] if lines[0].startswith(b"Status:") else None
    if doc["ok"]:
        want = None
    elif doc["error"] == "invalid node password":
        want = b"Status: 401 Unauthorized"
    else:
        want = b"Status: 400 Bad Request"
    if status != want:
        raise AssertionError("status line %r with the document %r" % (status, body[:200]))
    return doc


def base_env():
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin")}
    # Debian's Wine keeps its server's socket under TMPDIR: a run without it
    # would start a second server on the prefix, whose adapter table is empty.
    for name in ("HOME", "TMPDIR", "WINEPREFIX", "WINEDEBUG", "WINEDLLOVERRIDES", "LANG"):
        if name in os.environ:
            env[name] = os.environ[name]
    env.update(TARGET.env)
    return env


class Reply:
    def __init__(self, proc, elapsed):
        self.out = proc.stdout
        self.err = proc.stderr
        self.rc = proc.returncode
        self.elapsed = elapsed

    @property
    def head(self):
        return self.out.split(b"\r\n\r\n", 1)[0] + b"\r\n\r\n"

    @property
    def body(self):
        return self.out.split(b"\r\n\r\n", 1)[1]

    def doc(self, kind=None):
        """The document, validated against its schema."""
        return validated(self.body, kind)

    def keys(self):
        """Top-level keys of the (validated) document, in the order written."""
        return list(validated(self.body))


def run(query=None, method=None, env=None, args=(), timeout=30):
    """One invocation. query None leaves QUERY_STRING unset."""
    e = base_env()
    if query is not None:
        e["QUERY_STRING"] = query
    if method is not None:
        e["REQUEST_METHOD"] = method
    e.update(env or {})
    proc, _, elapsed = run_argv(RUN + list(args), e, timeout)
    return Reply(proc, elapsed)


def run_argv(argv, env, timeout):
    """Runs argv with no input and its output kept, once more (and says so)
    when the launcher itself failed to start. Returns the process, the
    wall-clock time it started and the seconds it took."""
    for _ in range(2):
        wall, t0 = time.time(), time.monotonic()
        proc = subprocess.run(argv, env=env, capture_output=True, timeout=timeout,
                              stdin=subprocess.DEVNULL)
        if not launcher_did_not_start(proc.returncode, proc.stdout, proc.stderr):
            break
        note_retry(argv[-1:] + [env.get("QUERY_STRING")], proc.stderr)
    return proc, wall, time.monotonic() - t0


def launcher_did_not_start(rc, out, err):
    """The target's launcher failed before the plug-in ran (see Target)."""
    if not TARGET.start_error:
        return False
    status, prefix = TARGET.start_error
    return rc == status and not out and (not err or err.startswith(prefix))


def note_retry(what, err=b""):
    """Counts one run started a second time; main() fails the suite past
    MAX_RETRIES of them."""
    retried.append(what)
    print("\n  %s failed to start (%r): %r, run once more" % (TARGET.name, err, what),
          file=sys.stderr)


class Case(unittest.TestCase):
    """Every run must end with status 0 and write nothing to stderr, and
    every JSON reply must hold to its schema."""

    def call(self, query=None, **kw):
        r = run(query, **kw)
        self.assertEqual(0, r.rc, r.err)
        self.assertEqual(b"", r.err)
        json_reply(r.out)
        return r

    def action(self, query, **kw):
        r = self.call(query, **kw)
        self.assertTrue(r.out.startswith(JSON_HEAD), r.out[:200])
        return r

    def error(self, query, message, **kw):
        r = self.call(query, **kw)
        self.assertEqual(b"Status: 400 Bad Request\r\n" + JSON_HEAD +
                         b'{"ok":false,"error":"' + message.encode() + b'"}\n', r.out)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def is_root():
    return hasattr(os, "geteuid") and os.geteuid() == 0


def main():
    prog = unittest.main(exit=False, verbosity=2)
    res = prog.result
    if len(retried) > MAX_RETRIES:
        print("\n%d runs needed a second start, more than %d: %r"
              % (len(retried), MAX_RETRIES, retried), file=sys.stderr)
        sys.exit(1)
    skipped = len(res.skipped)
    ran = res.testsRun
    if res.wasSuccessful() and ran > 0 and skipped == ran:
        sys.exit(77)
    sys.exit(0 if res.wasSuccessful() else 1)
