"""Entry: the request body, the info document's time stamp, the page's
bytes and the schemas. The meta probe, the node password and the routing
are rows of the rule tables (tests/harness/rules)."""
import calendar
import os
import re
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

from harness import REFUSAL, RUN, Case, base_env, main, retried_once, run_argv, start
from harness.rules import PAGE

PW = "S3cret pw"


BODY_BUDGET = 2.0  # seconds a run waits at most for a body


# A read that kept going at the end of its input would spin for the whole
# budget; reading a body, or waiting for one that stalls, costs next to no
# processor time (about a tenth of a second for a start under Wine).
CPU_LIMIT = BODY_BUDGET / 4


def fed(query, method, env, body, hold=False):
    """One run with body on standard input: from a file, or with hold from a
    pipe that stays open after the body (a body that stalls); body None
    gives an input that cannot be read. The output, how many bytes of the
    file the run read (None for the pipe), the seconds it took and the
    processor seconds it used."""
    e = dict(base_env(), QUERY_STRING=query, REQUEST_METHOD=method, **env)
    what = [query, method, env]
    if hold:
        r, w = os.pipe()
        os.write(w, body)  # small enough for the pipe to hold
        try:
            proc = run_argv(RUN, e, 60, stdin=r)[0]
        finally:
            os.close(r)
            os.close(w)
        read = None
    elif body is None:
        # An input that cannot be read: open for writing only.
        with open(os.devnull, "wb") as f:
            proc = run_argv(RUN, e, 60, stdin=f)[0]
        read = None
    else:
        with tempfile.TemporaryFile() as f:
            f.write(body)

            def attempt():
                f.seek(0)
                return start(RUN, e, 60, stdin=f)
            proc = retried_once(attempt, what)
            read = os.lseek(f.fileno(), 0, os.SEEK_CUR)
    if proc.returncode or proc.stderr:
        raise AssertionError("status %r, stderr %r" % (proc.returncode, proc.stderr[:300]))
    if proc.cpu > CPU_LIMIT:
        raise AssertionError("the run used %.2f s of processor time" % proc.cpu)
    return proc.stdout, read, proc.elapsed


class RequestBody(Case):
    """A body is read as far as the host announced it and no further, and
    never changes the reply; one that stalls holds the run for the budget
    and no longer."""

    def test_announced_length_is_read_and_nothing_else_changes(self):
        table = [
            # CONTENT_LENGTH, HTTP_TRANSFER_ENCODING, body bytes, bytes read
            (None, None, 100, 0),
            ("0", None, 100, 0),
            ("100", None, 300, 100),
            ("65537", None, 1 << 20, 65537),
            ("1048576", None, 1 << 20, 1 << 20),
            # More announced than arrives: the input's end ends the read.
            ("200", None, 100, 100),
            ("99999999999999999999", None, 100, 100),
            # Not a count: nothing is read, unless a transfer encoding says
            # the body runs to the end of the input.
            ("-1", None, 100, 0),
            ("abc", None, 100, 0),
            ("12x", None, 100, 0),
            ("abc", "chunked", 100, 100),
            (None, "chunked", 65537, 65537),
            ("", "chunked", 100, 100),
            # An input that cannot be read ends the read at once.
            ("100", None, None, None),
        ]
        replies = {}
        for i, (length, encoding, size, want) in enumerate(table):
            method = ("POST", "PUT")[i % 2]
            if method not in replies:
                replies[method] = fed("action=bogus", method, {}, b"")[0]
            env = {k: v for k, v in (("CONTENT_LENGTH", length),
                                     ("HTTP_TRANSFER_ENCODING", encoding)) if v is not None}
            with self.subTest(env=env, size=size):
                body = None if size is None else bytes(i % 251 for i in range(size))
                out, read, _ = fed("action=bogus", method, env, body)
                self.assertEqual(replies[method], out)
                self.assertEqual(want, read)
        self.assertTrue(replies["POST"].startswith(b"Status: 400 Bad Request\r\n"))

    def test_page_and_refusal_after_a_body(self):
        body = b"x" * (1 << 20)
        env = {"CONTENT_LENGTH": str(len(body))}
        for query, method, extra in [("", "GET", {}), ("action=info", "POST", {"MORV_PASSWORD": PW})]:
            with self.subTest(method=method):
                want = fed(query, method, extra, b"")[0]
                out, read, _ = fed(query, method, dict(env, **extra), body)
                self.assertEqual((want, len(body)), (out, read))
        self.assertEqual(REFUSAL, want)

    def test_stalled_body_waits_for_the_budget_only(self):
        want = fed("action=bogus", "POST", {}, b"")[0]
        # One byte, then nothing: a short read is no reason to stop.
        table = [({"CONTENT_LENGTH": "100"}, b"0"),
                 ({"HTTP_TRANSFER_ENCODING": "chunked"}, b"0123456789"),
                 ({"CONTENT_LENGTH": "99999999999999999999"}, b"0123456789")]
        # Side by side: each waits out the budget.
        with ThreadPoolExecutor(len(table)) as pool:
            got = list(pool.map(lambda row: fed("action=bogus", "POST", row[0], row[1], hold=True),
                                table))
        for (env, _), (out, _, elapsed) in zip(table, got):
            with self.subTest(env=env):
                self.assertEqual(want, out)
                self.assertGreaterEqual(elapsed, BODY_BUDGET - 0.1)
                self.assertLess(elapsed, BODY_BUDGET + 2.0)


class InfoDocument(Case):
    def test_exact_document(self):
        before = int(time.time())
        r = self.action("action=info")
        after = int(time.time())
        m = re.fullmatch(
            rb'\{"ok":true,"plugin":"plugin_tarvik","slug":"tarvik","version":"1\.0\.0",'
            rb'"generated_at":"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)",'
            rb'"actions":\["ifaces","dns","tcp","http","info"\],"tls_library":false,'
            rb'"max_samples":3,"dns_timeout_ms":3000,"tcp_timeout_ms":3000,'
            rb'"read_timeout_ms":2000\}\n', r.body)
        self.assertIsNotNone(m, r.body)
        # The stamp is the time of the run, so a clock read wrongly shows.
        stamp = calendar.timegm(time.strptime(m.group(1).decode(), "%Y-%m-%dT%H:%M:%SZ"))
        self.assertTrue(before <= stamp <= after, (before, m.group(1), after))


class PageBytes(Case):
    def test_page(self):
        # The page's exact bytes are the template with its theme parts (the
        # routing rule table's PAGE); here, what those bytes may hold at all.
        r = self.call("")
        self.assertEqual(PAGE, r.out)
        body = r.out.split(b"\r\n\r\n", 1)[1]
        self.assertTrue(body.startswith(b"<!DOCTYPE html>"))
        self.assertTrue(body.endswith(b"</body></html>\n"))
        self.assertTrue(all(b == 10 or 32 <= b < 127 for b in body))


if __name__ == "__main__":
    main()
