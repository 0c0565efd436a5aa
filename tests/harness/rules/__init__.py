"""The query rules as tables, one module per rule; each buffer's capacity
sits with the rule that reads it. A row is a request (query, environment,
method, arguments) and the exact reply every build must give, after the
masking of times and milliseconds (masked); a new row may give ... and
the suite shows what the build answered. A query or reply may name a
scripted peer as {ok}, {listener}...: the suite puts in its port ({ok5}: in
five digits, for rows whose length counts).

Every row may run on every target: interface rows come from
TARVIK_MOCK_IFACES, names from TARVIK_MOCK_DNS or a literal, or resolve with
TARVIK_MOCK_TIMEOUT=1, so no row sends a name to the machine's resolver, and
rows connect only to the suite's peers on 127.0.0.1."""
import os
import re

from .. import peers
from ..oracle import JSON_HEAD, META, REFUSAL
from ..targets import ROOT

__all__ = ["R", "META", "REFUSAL", "PAGE", "INFO", "err", "doc", "masked", "MOCK_DNS", "DOC_DNS"]


class R:
    def __init__(self, name, query, env, expected, method=None, args=()):
        self.name, self.query, self.env, self.expected = name, query, dict(env or {}), expected
        self.method, self.args = method, list(args)

    def __repr__(self):
        q = self.query if self.query is None or len(self.query) <= 300 else \
            self.query[:280] + "...(%d chars)" % len(self.query)
        env = {k: v if len(v) <= 100 else v[:80] + "...(%d chars)" % len(v)
               for k, v in self.env.items()}
        return "%s: query=%r method=%r env=%r args=%r" % (self.name, q, self.method, env,
                                                         self.args)


def _page():
    # theme_head replaces the first marker (in the head, before the page's
    # own style) and theme_bridge the second (after the script).
    asset = {}
    for name in ("page_template", "theme_head", "theme_bridge"):
        with open(os.path.join(ROOT, "page", name + ".html"), "rb") as f:
            asset[name] = f.read()
    return (b"Content-Type: text/html; charset=utf-8\r\n"
            b"Cache-Control: no-store\r\n"
            b"X-Content-Type-Options: nosniff\r\n"
            b"X-Frame-Options: SAMEORIGIN\r\n"
            b"Content-Security-Policy: default-src 'none'; script-src 'unsafe-inline'; "
            b"style-src 'unsafe-inline'; img-src data:; connect-src 'self'; "
            b"form-action 'none'; base-uri 'none'\r\n\r\n" +
            asset["page_template"].replace(b"@@THEME_HEAD@@", asset["theme_head"])
            .replace(b"@@THEME_BRIDGE@@", asset["theme_bridge"]))


PAGE = _page()


def err(message):
    return (b"Status: 400 Bad Request\r\n" + JSON_HEAD + b'{"ok":false,"error":"' +
            message.encode() + b'"}\n')


def doc(body):
    return JSON_HEAD + body


INFO = doc(b'{"ok":true,"plugin":"plugin_tarvik","slug":"tarvik","version":"1.0.0",'
           b'"generated_at":"#","actions":["ifaces","dns","tcp","http","info"],'
           b'"tls_library":false,"max_samples":3,"dns_timeout_ms":3000,"tcp_timeout_ms":3000,'
           b'"read_timeout_ms":2000}\n')


STAMP = re.compile(rb'"generated_at":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ"')
MILLIS = re.compile(rb'"(latency_ms|avg_ms|min_ms|max_ms|connect_ms|read_ms)":-?\d+(?:\.\d+)?')
SAMPLES = re.compile(rb'"samples":\[[-0-9,nul]*\]')
NAMESERVERS = re.compile(rb'"nameservers":\[[^]]*\],"nameserver_count":\d+')


def masked(out, nameservers=False):
    """The output with the time stamp and the millisecond figures of a JSON
    reply replaced by fixed marks (null stays null); with nameservers, the
    machine's name server list too."""
    if not (out.startswith(JSON_HEAD) or out.startswith(b"Status: ")):
        return out
    out = STAMP.sub(b'"generated_at":"#"', out)
    out = MILLIS.sub(rb'"\1":#', out)
    out = SAMPLES.sub(lambda m: re.sub(rb"-?\d+", b"#", m.group(0)), out)
    if nameservers:
        out = NAMESERVERS.sub(b'"nameservers":#,"nameserver_count":#', out)
    return out


# Names every row may resolve. Only loopback addresses, since tcp and http
# rows connect to what a name gives.
MOCK_DNS = ";".join([
    "alpha.test=127.0.0.1",
    "v6.test=::1",
    "both.test=::1,127.0.0.1",
    "pair.test=127.0.0.1,127.0.0.2",
    "Mixed.Test=127.0.0.1",
    "empty.test=",
    "junk.test=bogus,, 127.0.0.3,127.0.0.4",
    "spaces.test=127.0.0.1   ",
    "localhost=127.0.0.1",
    "many.test=" + ",".join("127.0.0.%d" % i for i in range(1, 18)),
    "a" * 253 + "=127.0.0.1",
    "a" * 85 + "=127.0.0.1",
    "dup.test=127.0.0.5",
    "dup.test=127.0.0.6",
])
# Only for rows that resolve and never connect (the dns action).
DOC_DNS = "doc.test=192.0.2.10,2001:db8::10,::ffff:192.0.2.1,2001:DB8:0:0::1"


def start_peers():
    """The peers rows name, by name; "closed" is a port nobody listens on."""
    made = {
        "listener": peers.Peer(),
        "ok": peers.Peer(peers.answer(b"HTTP/1.1 204 No Content\r\nX-Seen: 1\r\n"
                                      b"Server: p\r\n\r\n")),
        "redirect": peers.Peer(peers.answer(b"HTTP/1.1 301 Moved Permanently\r\n"
                                            b"Location: /x\r\n\r\n")),
        "barelf": peers.Peer(peers.answer(b"HTTP/1.0 200\nA: 1\n\n")),
        "banner": peers.Peer(peers.answer(b"SSH-2.0-peer\r\n")),
        "flood": peers.Peer(peers.flood(b"HTTP/1.1 200 OK\r\n")),
    }
    return made, dict({k: p.port for k, p in made.items()}, closed=peers.closed_port())


def with_ports(row, ports):
    """The row with the peers' ports in place of their names."""
    query, expected = row.query, row.expected
    for name, port in ports.items():
        for token, text in (("{%s5}" % name, "%05d" % port), ("{%s}" % name, "%d" % port)):
            if query is not None:
                query = query.replace(token, text)
            if expected is not ...:
                expected = expected.replace(token.encode(), text.encode())
    return R(row.name, query, row.env, expected, row.method, row.args)


def tables():
    """Every rule's rows."""
    from . import dns, http, ifaces, passwords, routing, tcp
    return [row for rule in (routing, passwords, dns, tcp, http, ifaces) for row in rule.ROWS]
