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
PLATFORM = os.environ.get("TARVIK_PLATFORM", "linux")
UNDER_WINE = os.path.basename(RUN[0]).startswith("wine")
if UNDER_WINE:
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
    for name in ("HOME", "WINEPREFIX", "WINEDEBUG", "WINEDLLOVERRIDES", "LANG"):
        if name in os.environ:
            env[name] = os.environ[name]
    if UNDER_WINE:
        env["WINEDEBUG"] = "-all"
        # Wine reads the environment's bytes in the locale's character set.
        env["LANG"] = "C.UTF-8"
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
    when Wine itself failed to start. Returns the process, the wall-clock
    time it started and the seconds it took."""
    for _ in range(2):
        wall, t0 = time.time(), time.monotonic()
        proc = subprocess.run(argv, env=env, capture_output=True, timeout=timeout,
                              stdin=subprocess.DEVNULL)
        if not wine_did_not_start(proc):
            break
        print("\n  Wine failed to start (%r); running it once more" % proc.stderr,
              file=sys.stderr)
    return proc, wall, time.monotonic() - t0


def wine_did_not_start(proc):
    """Wine itself failed before the plug-in ran: exit 1, no output, and
    nothing or only Wine's own client error on stderr. It happens about once
    in a thousand starts; the plug-in never exits like this."""
    return (UNDER_WINE and proc.returncode == 1 and not proc.stdout
            and (not proc.stderr or proc.stderr.startswith(b"wine client error:")))


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
    skipped = len(res.skipped)
    ran = res.testsRun
    if res.wasSuccessful() and ran > 0 and skipped == ran:
        sys.exit(77)
    sys.exit(0 if res.wasSuccessful() else 1)
