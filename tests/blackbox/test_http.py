"""The http check against scripted peers that the tests run on 127.0.0.1 and
::1. Every peer records the bytes each connection brings and plays its
script; each step is bounded in time."""
import urllib.parse

from harness import TARGET, Case, main, validated
from harness.peers import Peer, answer, banner, closed_port, drip, hold, ipv6_loopback, reset

FAIL_KEYS = ["reachable", "connect_ms", "status", "status_text", "header_lines",
             "body_bytes_read", "note"]
PAD_3000 = b"HTTP/1.1 200 OK\r\n" + b"".join(b"X-Pad: " + b"p" * 40 + b"\r\n"
                                             for _ in range(61))


def sized(length, end=b"\r\n\r\n"):
    """A header block of length bytes: a status line, one header line, and
    the blank line that end gives."""
    head = b"HTTP/1.1 200 OK\r\nX: "
    return head + b"p" * (length - len(head) - len(end)) + end


def request(path, host):
    return (b"HEAD " + path + b" HTTP/1.1\r\nHost: " + host +
            b"\r\nUser-Agent: quorvex-morv-tarvik/1.0\r\nAccept: */*\r\n"
            b"Connection: close\r\n\r\n")


class HttpCase(Case):
    def http(self, url=None, query=None, env=None):
        if query is None:
            query = "action=http&url=" + urllib.parse.quote(url, safe=":/[]@")
        # The oracle has checked the document's schema, tail and layout.
        r = self.action(query, env=env)
        return r, r.doc()

    def answered(self, peer, path="/p", unreachable_reason=None):
        host = "[::1]" if peer.addr == "::1" else "127.0.0.1"
        url = "http://%s:%d%s" % (host, peer.port, path)
        r, doc = self.http(url)
        self.reply = r
        if unreachable_reason and doc["reachable"] is False:
            self.skipTest(unreachable_reason)
        self.assertEqual((url, host, peer.port, path, False),
                         (doc["url"], doc["host"], doc["port"], doc["path"], doc["tls"]))
        # A 3xx answer, and only that, says the redirect was not followed.
        redirect = doc["status"] is not None and 300 <= doc["status"] <= 399
        self.assertEqual(redirect, "redirect" in doc)
        self.assertIs(True, doc["reachable"])
        self.assertGreaterEqual(doc["connect_ms"], 0)
        self.assertGreaterEqual(doc["read_ms"], 0)
        self.assertEqual(doc["status"] is None, doc["status_text"] is None)
        return doc


class Answers(HttpCase):
    def test_scripted_peers(self):
        table = [
            # name, script, status, status_text, header_lines, headers_complete
            ("redirect", answer(b"HTTP/1.1 301 Moved Permanently\r\nLocation: /x\r\n\r\n"),
             301, "Moved Permanently", 1, True),
            ("bare LF", answer(b"HTTP/1.0 200 OK\nServer: t\nX-A: b\n\n"), 200, "OK", 2, True),
            ("empty status text", answer(b"HTTP/1.1 200\r\n\r\n"), 200, "", 0, True),
            ("body not read", answer(b"HTTP/1.1 404 Not Found\r\nA: 1\r\n\r\nbody\r\n\r\n"),
             404, "Not Found", 1, True),
            ("huge status", answer(b"HTTP/1.1 99999999999  " + b"T" * 70 + b" \r\nA: 1\r\n\r\n"),
             2147483647, "T" * 63, 1, True),
            ("299", answer(b"HTTP/1.1 299 A\r\n\r\n"), 299, "A", 0, True),
            ("300", answer(b"HTTP/1.1 300 B\r\n\r\n"), 300, "B", 0, True),
            ("399", answer(b"HTTP/1.1 399 C\r\n\r\n"), 399, "C", 0, True),
            ("400", answer(b"HTTP/1.1 400 Bad Request\r\n\r\n"), 400, "Bad Request", 0, True),
            ("accept and close", answer(b""), None, None, 0, False),
            ("banner", banner(b"220 peer.test service ready\r\n"), None, None, 0, False),
            ("not HTTP, two lines", answer(b"hello\r\nworld\r\n"), None, None, 1, False),
            ("reset", reset, None, None, 0, False),
            ("3000 header bytes", hold(PAD_3000), 200, "OK", 42, False),
            # At most 2047 bytes are read: a blank line that ends at the
            # 2047th byte counts, one that would end at the 2048th does not.
            ("2046 header bytes", hold(sized(2046)), 200, "OK", 1, True),
            ("2047 header bytes", hold(sized(2047)), 200, "OK", 1, True),
            ("2048 header bytes", hold(sized(2048)), 200, "OK", 1, False),
            ("2047 bytes, bare LF", hold(sized(2047, b"\n\n")), 200, "OK", 1, True),
            ("2048 bytes, bare LF", hold(sized(2048, b"\n\n")), 200, "OK", 1, False),
            # At most 63 bytes of status text.
            ("62-byte status text", answer(b"HTTP/1.1 200 " + b"T" * 62 + b"\r\n\r\n"), 200,
             "T" * 62, 0, True),
            ("63-byte status text", answer(b"HTTP/1.1 200 " + b"T" * 63 + b"\r\n\r\n"), 200,
             "T" * 63, 0, True),
            ("64-byte status text", answer(b"HTTP/1.1 200 " + b"T" * 63 + b"U\r\n\r\n"), 200,
             "T" * 63, 0, True),
            # Status text white space: only blanks and tabs are passed over
            # before the 63 bytes are counted; the rest is trimmed after.
            ("status text after a tab", answer(b"HTTP/1.1 200\t" + b"T" * 70 + b"\r\n\r\n"),
             200, "T" * 63, 0, True),
            ("status text after a vertical tab",
             answer(b"HTTP/1.1 200\x0b" + b"T" * 70 + b"\x0c\r\n\r\n"), 200, "T" * 62, 0, True),
            ("status after a form feed", answer(b"HTTP/1.1 \x0c301 X\r\n\r\n"), 301, "301 X",
             0, True),
        ]
        for name, script, status, text, lines, complete in table:
            with self.subTest(name), Peer(script) as peer:
                doc = self.answered(peer)
                self.assertEqual((status, text, lines, complete),
                                 (doc["status"], doc["status_text"], doc["header_lines"],
                                  doc["headers_complete"]))
                # None of these waits for the read budget.
                self.assertLess(doc["read_ms"], 1500)
            self.assertEqual([request(b"/p", b"127.0.0.1")], peer.received, name)

    def test_nothing_past_the_blank_line_is_taken(self):
        head = b"HTTP/1.1 200 OK\r\nA: 1\r\n\r\n"
        for name, data, resets in [("body left in the socket", head + b"body" * 100, 1),
                                   ("nothing after the blank line", head, 0)]:
            with self.subTest(name), Peer(hold(data)) as peer:
                doc = self.answered(peer)
                self.assertEqual((200, 1, True), (doc["status"], doc["header_lines"],
                                                  doc["headers_complete"]))
            self.assertEqual(resets, peer.resets, name)

    def test_slow_peers_are_cut_by_the_read_budget(self):
        # A peer that never answers is cut by the 2 s receive timeout; one
        # that drips, by the 2 s budget once the next byte has come, so at
        # most one drip later. Neither ends sooner, nor later than that and
        # the margin of a busy machine (1.5 s).
        every = 0.3
        for name, script, least, most in [
                ("never answers", hold(), 1.9, 2.0 + 1.5),
                ("drips", drip(b"HTTP/1.1 200 OK\r\nA: b\r\n\r\n", every), 2.0,
                 2.0 + every + 1.5)]:
            with self.subTest(name), Peer(script) as peer:
                doc = self.answered(peer, "/slow")
                self.assertIs(False, doc["headers_complete"])
                self.assertGreaterEqual(doc["read_ms"], least * 1000)
                self.assertLessEqual(doc["read_ms"], most * 1000)
                # The whole run, start and exit included.
                self.assertGreaterEqual(self.reply.elapsed, least)
                self.assertLessEqual(self.reply.elapsed, most)
                if name == "never answers":
                    self.assertEqual((None, 0), (doc["status"], doc["header_lines"]))
            self.assertEqual([request(b"/slow", b"127.0.0.1")], peer.received)

    def test_ipv6_peer(self):
        if not ipv6_loopback():
            self.skipTest("no IPv6 loopback (::1) on this machine")
        with Peer(answer(b"HTTP/1.1 301 Moved\r\nLocation: /x\r\n\r\n"), "::1") as peer:
            doc = self.answered(peer, "/v6", TARGET.no_ipv6)
            self.assertEqual((301, "not_followed"), (doc["status"], doc["redirect"]))
        self.assertEqual([request(b"/v6", b"[::1]")], peer.received)

    def test_request_bytes(self):
        long_path = "/" + "a" * 253 + " " + "b" * 45
        table = [
            # what follows the authority, the path as sent, host in the URL, mock DNS
            ("/a/b?x=1#top", b"/a/b", "u@127.0.0.1", None),
            ("?q=1", b"/", "127.0.0.1", None),
            ("/", b"/", "Site.TEST", "Site.TEST=127.0.0.1"),
            ("/x", b"/x", "a@b@pair.test", "pair.test=127.0.0.2,127.0.0.1"),
            # the path is cut to 255 bytes before its bytes are escaped
            (long_path, b"/" + b"a" * 253 + b"%20", "127.0.0.1", None),
        ]
        ok = answer(b"HTTP/1.1 200 OK\r\n\r\n")
        for tail, sent, host, mock in table:
            with self.subTest(tail=tail[:20], host=host), Peer(ok) as peer:
                url = "http://%s:%d%s" % (host, peer.port, tail)
                env = {"TARVIK_MOCK_DNS": mock} if mock else None
                r, doc = self.http(url, env=env)
                name = host.rsplit("@", 1)[-1]
                self.assertEqual((url, name, sent.decode(), 200),
                                 (doc["url"], doc["host"], doc["path"], doc["status"]))
            self.assertEqual([request(sent, name.encode())], peer.received)

    def test_path_cannot_split_the_request(self):
        table = [
            ("/a%2520b%0d%0aX:%201", "/a%20b\r\nX: 1", b"/a%20b%0D%0AX:%201"),
            ("/%09%7F%C3%A9%FF", "/\t\x7f\u00e9\ufffd", b"/%09%7F%C3%A9%FF"),
        ]
        for raw, decoded, sent in table:
            with self.subTest(raw), Peer(answer(b"HTTP/1.1 204 No Content\r\n\r\n")) as peer:
                query = "action=http&url=http://h:%d%s" % (peer.port, raw)
                r = self.action(query, env={"TARVIK_MOCK_DNS": "h=127.0.0.1"})
                self.assertIn(b'"path":"' + sent + b'"', r.body)
                doc = validated(r.body.decode("utf-8", "replace"))
                self.assertEqual(("http://h:%d%s" % (peer.port, decoded), 204),
                                 (doc["url"], doc["status"]))
            self.assertEqual([request(sent, b"h")], peer.received)


class Tails(HttpCase):
    def fail_tail(self, r, doc, note, tls_note=False):
        self.assertEqual(tls_note, "tls_note" in doc)
        self.assertEqual([False, None, None, None, 0, 0, note],
                         [doc[k] for k in FAIL_KEYS])

    def test_tls_target_gets_no_byte(self):
        with Peer(hold()) as peer:
            url = "https://127.0.0.1:%d/x?y" % peer.port
            r, doc = self.http(url)
        self.assertEqual([b""], peer.received)
        self.assertNotIn("tls_note", doc)
        self.assertEqual(("not_checked", "/x", True, None, None, 0, 0,
                          "tcp connect succeeded; the TLS handshake was not attempted"),
                         (doc["tls"], doc["path"], doc["reachable"], doc["status"],
                          doc["status_text"], doc["header_lines"], doc["body_bytes_read"],
                          doc["note"]))
        self.assertGreaterEqual(doc["connect_ms"], 0)

    def test_no_connect(self):
        port = closed_port()
        for scheme in ("http", "https"):
            with self.subTest(scheme):
                r, doc = self.http("%s://127.0.0.1:%d/" % (scheme, port))
                self.fail_tail(r, doc, "tcp connect failed", tls_note=scheme == "https")

    def test_resolution_tails(self):
        for env, note in [({"TARVIK_MOCK_TIMEOUT": "1", "TARVIK_MOCK_DNS": "gone.test=127.0.0.1"},
                           "dns resolution timed out"),
                          ({"TARVIK_MOCK_DNS": "gone.test="}, "host does not resolve")]:
            for scheme in ("http", "https"):
                with self.subTest(note=note, scheme=scheme):
                    r, doc = self.http(scheme + "://gone.test:8080/a", env=env)
                    self.fail_tail(r, doc, note)
                    self.assertEqual(("gone.test", 8080, "/a"),
                                     (doc["host"], doc["port"], doc["path"]))


if __name__ == "__main__":
    main()
