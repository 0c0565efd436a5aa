"""The native Linux build against another target's build: Windows under
Wine, or Linux arm64 under qemu-aarch64. A seeded generator makes some
three hundred requests: every action, unknown and empty actions, the page,
the meta probe, every password source, each mock hook, the methods, and
parameter values at, below and above their capacities, with good and bad
escapes, bytes from 0x80 up, control bytes, repeated keys and empty values.
Each request runs through build/linux/plugin_tarvik and through the
target's build, and the two outputs must be the same bytes once the time
stamps and the millisecond figures are masked.

What may rightly differ between the two systems is kept out of the rows,
not masked: interface rows come from TARVIK_MOCK_IFACES, names from
TARVIK_MOCK_DNS (a name that is neither an address literal nor in the row's
table goes with TARVIK_MOCK_TIMEOUT=1, so nothing ever reaches the machine's
resolver, and safe() proves that for every row before anything runs), and
environment texts are UTF-8, as a Windows environment always is. Connects go
to peers of the test's own on 127.0.0.1 and to ::1 only."""
import ipaddress
import os
import random
import re
import sys
import time
import unittest
import urllib.parse
from concurrent.futures import ThreadPoolExecutor

from harness import peers, JSON_HEAD, ROOT, RUN, TARGET, base_env, main, run_argv, validated

SEED = 20261209
LINUX = os.environ.get("TARVIK_LINUX_EXE", os.path.join(ROOT, "build/linux/plugin_tarvik"))
WORKERS = 4

CAP = {"pwd": 256, "action": 64, "host": 256, "port": 16, "url": 1024}

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

# ---------------------------------------------------------------------------
# What the plug-in makes of a request, as far as safe() needs to know.


def query_val(query, key, cap):
    """(found, decoded value): the first key=value segment, cut to cap - 1
    raw bytes, then decoded; the text ends at a decoded zero byte."""
    q, k = query.encode(), key.encode() + b"="
    pos = 0
    while True:
        if q.startswith(k, pos):
            start = pos + len(k)
            end = q.find(b"&", start)
            raw = q[start:len(q) if end < 0 else end][:cap - 1]
            return True, decode(raw).split(b"\0", 1)[0]
        amp = q.find(b"&", pos)
        if amp < 0 or amp + 1 >= len(q):
            return False, b""
        pos = amp + 1


def decode(raw):
    out, i = bytearray(), 0
    hexdigits = b"0123456789abcdefABCDEF"
    while i < len(raw):
        c = raw[i:i + 1]
        if c == b"%" and len(raw) >= i + 3 and raw[i + 1] in hexdigits and raw[i + 2] in hexdigits:
            out.append(int(raw[i + 1:i + 3], 16))
            i += 3
        else:
            out += b" " if c == b"+" else c
            i += 1
    return bytes(out)


def lower(b):
    return bytes(c + 32 if 65 <= c <= 90 else c for c in b)


def route(row):
    """The handler the plug-in picks (page for a page request)."""
    q = row.query or ""
    if not ("action=" in q or "format=json" in q or row.method in ("POST", "PUT")):
        return "page"
    return lower(query_val(q, "action", CAP["action"])[1]).decode("latin-1") or "info"


def url_host(url):
    """The name an http check resolves for url, or None when it refuses it."""
    for scheme in (b"http://", b"https://"):
        if url.startswith(scheme):
            auth = url[len(scheme):]
            break
    else:
        return None
    auth = re.split(rb"[/?#]", auth, 1)[0]
    hp = auth.rsplit(b"@", 1)[-1]
    for i in range(len(hp), 0, -1):
        if hp[i - 1:i] in (b"]", b"["):
            break
        if hp[i - 1:i] == b":":
            hp = hp[:i - 1]
            break
    if hp.startswith(b"[") and hp.endswith(b"]") and len(hp) >= 3:
        return hp[1:-1]
    return hp


def literal(host):
    try:
        text = host.decode("ascii")
        return "%" not in text and ipaddress.ip_address(text) is not None
    except ValueError:
        return False


def mock_value(table, host):
    """The value of the entry a mocked lookup of host uses, or None."""
    for entry in table.encode().split(b";"):
        if entry and len(entry) <= 511 and b"=" in entry:
            name, value = entry.split(b"=", 1)
            if name == host:
                return value
    return None


def loopback_only(table):
    """Every token of the table is a loopback address or could be no
    address literal at all."""
    for entry in table.encode().split(b";"):
        for token in entry.split(b"=", 1)[-1].split(b","):
            token = token[:127].strip()
            if not token or re.search(rb"[^0-9a-fA-F:.]", token):
                continue
            try:
                if ipaddress.ip_address(token.decode()).is_loopback:
                    continue
            except ValueError:
                pass
            return False
    return True


def safe(row):
    """None when the row can send no name to the system resolver and connect
    nowhere but loopback; else why not."""
    if row.env.get("TARVIK_MOCK_TIMEOUT", "")[:1] == "1":
        return None  # every lookup times out at once, and nothing connects
    q = row.query or ""
    table = row.env.get("TARVIK_MOCK_DNS", "")
    if "host=" not in q and "url=" not in q:
        return None  # no host to look up
    action = route(row)
    if action in ("dns", "tcp"):
        found, host = query_val(q, "host", CAP["host"])
        host = lower(host)
    elif action == "http":
        found, url = query_val(q, "url", CAP["url"])
        host = url_host(url)
    else:
        return "a host parameter for %s" % action
    if not found or not host:
        return "no host the model can name"
    if not (literal(host) or mock_value(table, host) is not None):
        return "%r is neither a literal nor mocked" % host
    plain = lower(decode(q.encode()))
    if action != "dns" or b"tcp" in plain or b"http" in plain:
        if literal(host) and not ipaddress.ip_address(host.decode()).is_loopback:
            return "connects to %r" % host
        if not loopback_only(table):
            return "the mock table holds addresses beyond loopback"
    return None


def same_everywhere(row):
    """None when nothing in the row's output depends on the system it runs
    on; else why not."""
    plain = lower(decode((row.query or "").encode()))
    if b"ifaces" in plain and "TARVIK_MOCK_IFACES" not in row.env:
        return "the real adapter table"
    for value in list(row.env.values()) + [row.query or ""]:
        # A Windows environment holds UTF-16 texts of at most 32767 units:
        # only such values pass it unchanged.
        if "\0" in value or len(value.encode("utf-16-le")) // 2 >= 32767:
            return "a value no Windows environment can hold"
    return None


# ---------------------------------------------------------------------------
# The rows.


class Row:
    def __init__(self, query, env=None, method=None, args=()):
        self.query, self.env, self.method, self.args = query, dict(env or {}), method, tuple(args)

    def __repr__(self):
        env = {k: (v if len(v) <= 120 else v[:100] + "...(%d chars)" % len(v))
               for k, v in self.env.items()}
        q = self.query if self.query is None or len(self.query) <= 400 else \
            self.query[:380] + "...(%d chars)" % len(self.query)
        return "query=%r method=%r env=%r args=%r" % (q, self.method, env, self.args)


HOSTILE = ["%", "%%", "%G1", "%4", "%4g", "%00", "%0a", "%0D%0A", "%7f", "%ff", "%FE%fd",
           "%C3%A9", "%e2%82%ac", "\u00e9", "\u5bc6", "+", "=", "&", "&&", "a", "Z", "0",
           "127.0.0.1", "::1", "[::1]", "http://", "https://", ":", "@", "/", "?", "#", "\x01",
           "\t", " ", "\x7f", "..", ".", "-", "_", "%2525", '"', "\\", "<b>", "x" * 300,
           "%2f%2F", "%cd%CD%eE", "action=", "host=", "url=", "pwd=", ";", ",", "|"]


class Generator:
    def __init__(self, ports):
        self.rnd = random.Random(SEED)
        self.p = ports
        self.rows = []

    def add(self, query, env=None, method=None, args=()):
        self.rows.append(Row(query, env, method, args))

    def pick(self, seq):
        return self.rnd.choice(seq)

    def hostile(self, most=8):
        return "".join(self.pick(HOSTILE) for _ in range(self.rnd.randint(0, most)))

    def sized(self, prefix, suffix, length, fill="x"):
        """prefix + fill bytes + suffix, exactly length bytes long."""
        return prefix + fill * (length - len(prefix) - len(suffix)) + suffix

    def make(self):
        for part in (self.meta, self.front, self.passwords, self.ifaces, self.dns, self.tcp,
                     self.http, self.random_rows):
            part()
        return self.rows

    def meta(self):
        self.add("action=info", args=["--meta"])
        self.add("", {"QV_PLUGIN_META": "1", "MORV_PASSWORD": "pw"})
        self.add("format=json", args=["--META"])
        self.add("format=json", {"QV_PLUGIN_META": ""}, args=["x", "--meta"])

    def front(self):
        page = ["", None, "x=1", "ACTION=dns", "theme=dark", "theme=light&embed=1",
                "embed=true&x=2", "theme=blue&embed=yes", "xtheme=dark", "format=jso",
                "node=n1&id=7&plugin=plugin_tarvik&pwd=abc", "%61ction=info"]
        methods = [None, "GET", "HEAD", "post", "DELETE", "OPTIONS"]
        for q in page:
            self.add(q, method=self.pick(methods))
        kinds = [("", "POST"), (None, "PUT"), ("", "put"), ("format=json", "GET"),
                 ("x=1&format=jsonp", None), ("xaction=dns", None), ("action=", None),
                 ("action=%00dns", None), ("action=info", "HEAD"), ("action=INFO", None),
                 ("action=%69nfo", None), ("action=info&action=dns", None),
                 ("action=dns%20", None), ("action=nope", "POST"), ("action=infox", None),
                 ("action=%49%4E%46%4F", None), ("action=&action=dns", None),
                 ("a=1&&action=info", None), ("action", "POST"), ("action=\u00e9", None),
                 ("action=%ff", None), ("action=in%0afo", None), ("action=+info", None)]
        for q, m in kinds:
            self.add(q, method=m)
        # The 64-byte action buffer: raw values below, at and above 63 bytes.
        for n in (62, 63, 64, 65):
            self.add("action=" + self.sized("info%00", "", n))
            self.add("action=" + self.sized("", "%41", n))

    def passwords(self):
        secrets = ["S3cret pw", "p\u00e4sswort", "\u5bc6\u7801", "a+b%41", "p" * 255, "q" * 256,
                   "t\tab", ""]
        for secret in secrets:
            enc = urllib.parse.quote_plus(secret.encode())
            sources = [
                ({}, ""),
                ({"HTTP_X_MORV_PASSWORD": secret}, ""),
                ({"HTTP_X_MORV_PASSWORD": secret + " "}, ""),
                ({"HTTP_X_MORV_PASSWORD": "wrong"}, "&pwd=" + enc),
                ({"HTTP_AUTHORIZATION": "Bearer " + secret}, ""),
                ({"HTTP_AUTHORIZATION": "   Bearer   " + secret}, ""),
                ({"HTTP_AUTHORIZATION": secret}, ""),
                ({"HTTP_AUTHORIZATION": "bearer " + secret}, ""),
                ({"HTTP_AUTHORIZATION": "Bearer\t" + secret}, ""),
                ({"HTTP_AUTHORIZATION": "Bearer " + secret + " "}, ""),
                ({}, "&pwd=" + enc),
                ({}, "&pwd=" + urllib.parse.quote(secret.encode())),
                ({}, "&pwd=" + enc + "x"),
                ({}, "&xpwd=" + enc),
                ({}, "&pwd=" + secret.replace("%", "%25").replace("&", "%26")),
            ]
            for env, extra in self.rnd.sample(sources, 4):
                head = self.pick(["action=info", "", "action=dns&host=alpha.test", "format=json",
                                  "action=ifaces"])
                env = dict(env, MORV_PASSWORD=secret, TARVIK_MOCK_DNS=MOCK_DNS,
                           TARVIK_MOCK_IFACES="lo|127.0.0.1|255.0.0.0||x|1")
                self.add(head + extra, env, method=self.pick([None, "GET", "POST"]))
        # The query password at its capacity: 255 raw bytes are kept, and
        # an escape cut short stays as written.
        for n in (254, 255, 256, 300):
            self.add("action=info&pwd=" + "p" * n, {"MORV_PASSWORD": "p" * 255})
        self.add("pwd=" + "p" * 253 + "%41&action=info", {"MORV_PASSWORD": "p" * 253 + "%4"})
        self.add("pwd=" + "p" * 252 + "%41&action=info", {"MORV_PASSWORD": "p" * 252 + "A"})
        self.add("action=info", {"MORV_PASSWORD": "pw"})
        self.add(None, {"MORV_PASSWORD": "pw"}, method="GET")

    def ifaces(self):
        names = ["", "eth0", "lo", "n" * 62, "n" * 63, "m" * 64, "n" * 65, "n" * 70, "Ethernet 2",
                 "\u00e9-adapter", 'q"uote\\back', "tab\there", "\x01ctl\x1f", "<script>", "\x7f"]
        addrs = ["127.0.0.1", "192.0.2.5", "10.0.0.1", "::1", "fe80::1", "2001:DB8:0:0::1",
                 "0:0:0:0:0:0:0:1", "::ffff:192.0.2.1", "1.2.3.04", "01.2.3.4", "1.2.3",
                 "256.1.1.1", "1::2::3", " 192.0.2.1", "", "bogus", "::", "1:2:3:4:5:6:7:8",
                 "1:2:3:4:5:6:7:8:9", "::1.2.3.4", "1.2.3.4 ", "fe80::1%1", "0x7f.0.0.1",
                 "127.1", "::FFFF:127.0.0.1", "1:2:3:4:5:6:1.2.3.4", "2001:db8::1:0:0:1"]
        masks = ["", "255.255.255.0", "255.0.255.0", "255.255.255.256", " 255.0.0.0", "0.0.0.0",
                 "255.255.255.255", "0255.0.0.0", "255.255.255.0 ", "1.2.3.4.5"]
        bcasts = ["", "192.0.2.255", "not an address", "b" * 63, "b" * 64, "b" * 70, "\u00e9\u00e9",
                  "\\x"]
        states = ["1", "0", "10", " 1", "", "1|more|bars", "x"]
        fixed = ["", ",,", "lo|127.0.0.1|255.0.0.0||x|1", "cut|192.0.2.7||" + "b" * 300 + "|x|1",
                 ",".join("e%d|192.0.2.%d||||1" % (i, i % 250 + 1) for i in range(130)),
                 "m" * 64 + "|192.0.2.1", "x" * 254 + "|", "a|192.0.2.1|" + "|" * 10]
        tables = list(fixed)
        for _ in range(14):
            entries = []
            for _ in range(self.rnd.randint(1, 6)):
                fields = [self.pick(names), self.pick(addrs), self.pick(masks), self.pick(bcasts),
                          self.pick(["x", "", "|"]), self.pick(states)]
                entries.append("|".join(fields[:self.rnd.randint(1, 6)]))
                if self.rnd.random() < 0.2:
                    entries.append("")
            tables.append(",".join(entries))
        for table in tables:
            query = self.pick(["action=ifaces", "action=IFACES", "action=ifaces&x=1",
                               "action=%69faces"])
            self.add(query, {"TARVIK_MOCK_IFACES": table}, method=self.pick([None, "POST"]))

    def dns(self):
        good = ["alpha.test", "ALPHA.TEST", "%61lpha.test", "Alpha.Test", "v6.test", "both.test",
                "many.test", "empty.test", "junk.test", "spaces.test", "localhost", "dup.test",
                "127.0.0.1", "::1", "0:0:0:0:0:0:0:1", "::ffff:127.0.0.1", "a" * 253, "A" * 253,
                "%61" * 85, "%61" * 85 + "a", "alpha.test&host=v6.test"]
        for host in good:
            self.add("action=dns&host=" + host, {"TARVIK_MOCK_DNS": MOCK_DNS})
        self.add("host=alpha.test&action=dns", {"TARVIK_MOCK_DNS": MOCK_DNS}, method="POST")
        self.add("action=DNS&host=doc.test", {"TARVIK_MOCK_DNS": DOC_DNS})
        # Tables whose first entries do not apply, and a later one that does.
        for table in ["Alpha.test=127.0.0.9;alpha.test=127.0.0.5",
                      "x=1; alpha.test=127.0.0.9;alpha.test=127.0.0.5",
                      "alpha.test=" + "1" * 501 + ";alpha.test=127.0.0.5",
                      "alpha.test=127.0.0.1" + " " * 491,
                      ";;noequals;alpha.test=127.0.0.5=x,127.0.0.6;",
                      "alpha.test=127.0.0.1,,127.0.0.2", "alpha.test=bogus,127.0.0.3",
                      "alpha.test=127.0.0.1, 127.0.0.2", "alpha.test=" + "1" * 130 + ",::1",
                      "alpha.test=127.0.0.1" + " " * 130 + ",::2",
                      "alpha.test=" + ",".join("::%x" % i for i in range(1, 20))]:
            self.add("action=dns&host=alpha.test", {"TARVIK_MOCK_DNS": table})
        for value in ["0", "true", "", "01"]:
            self.add("action=dns&host=v6.test",
                     {"TARVIK_MOCK_DNS": MOCK_DNS, "TARVIK_MOCK_TIMEOUT": value})
        for value in ["1", "10", "1x"]:
            self.add("action=dns&host=alpha.test",
                     {"TARVIK_MOCK_DNS": MOCK_DNS, "TARVIK_MOCK_TIMEOUT": value})
        timeout = {"TARVIK_MOCK_DNS": MOCK_DNS, "TARVIK_MOCK_TIMEOUT": "1"}
        for query in ["action=dns", "action=dns&host=", "action=dns&host=%00x",
                      "action=dns&host=a..b", "action=dns&host=.a", "action=dns&host=a.",
                      "action=dns&host=a%20b", "action=dns&host=[::1]", "action=dns&host=%C3%A9",
                      "action=dns&host=" + "a" * 254, "action=dns&host=" + "b" * 300,
                      "action=dns&host=a_b.-x-", "action=dns&host=nowhere.test",
                      "action=dns&host=" + "c" * 70 + ".test", "action=dns&host=%0a",
                      "action=dns&xhost=alpha.test", "action=dns&host=999.1.1.1"]:
            self.add(query, timeout)

    def tcp(self):
        p = self.p
        env = {"TARVIK_MOCK_DNS": MOCK_DNS}
        for host in ["alpha.test", "ALPHA.test", "127.0.0.1", "::1", "both.test", "pair.test",
                     "many.test", "v6.test", "localhost", "junk.test"]:
            for port in (p["listener"], p["closed"]):
                self.add("action=tcp&host=%s&port=%d" % (host, port), env)
        lp = str(p["listener"])
        for port in ["%20" + lp, lp + "abc", "+" + lp, self.sized("", lp, 15, "0"),
                     self.sized("", lp, 16, "0"), lp + "&port=1", "%2B" + lp, "0x" + lp]:
            self.add("action=tcp&host=alpha.test&port=" + port, env)
        for port in ["0", "65535", "65536", "abc", "", "-1", "99999999999", "%00", "8%30"]:
            self.add("action=tcp&host=empty.test&port=" + port, env)
        timeout = dict(env, TARVIK_MOCK_TIMEOUT="1")
        for query in ["action=tcp", "action=tcp&port=80", "action=tcp&host=alpha.test",
                      "action=tcp&host=&port=80", "action=tcp&host=a..b&port=0",
                      "action=tcp&host=nowhere.test&port=80", "action=TCP&host=::1&port=" + lp,
                      "action=tcp&host=" + "a" * 254 + "&port=1",
                      "action=tcp&host=%5B::1%5D&port=1"]:
            self.add(query, timeout)

    def http(self):
        p = self.p
        env = {"TARVIK_MOCK_DNS": MOCK_DNS}
        for peer in ("ok", "redirect", "barelf", "banner", "closer", "flood", "closed"):
            port = p[peer]
            urls = ["http://127.0.0.1:%d/" % port, "http://alpha.test:%d/a/b?x=1#top" % port,
                    "http://u@alpha.test:%d" % port, "http://a@b@127.0.0.1:%d/p" % port,
                    "http://Mixed.Test:%d/M" % port, "http://[::1]:%d/" % port]
            for url in self.rnd.sample(urls, 4):
                self.add("action=http&url=" + self.pick([url, urllib.parse.quote(url, safe="")]),
                         env)
        ok = p["ok"]
        for url in ["http://127.0.0.1:%d?x=1" % ok, "http://127.0.0.1:%d#f" % ok,
                    "http://127.0.0.1:%s/" % self.sized("", str(ok), 15, "0"),
                    "http://127.0.0.1:%d/%s" % (ok, "p" * 254),
                    "http://127.0.0.1:%d/%s" % (ok, "p" * 255),
                    "http://127.0.0.1:%d/%s?q" % (ok, "p" * 300),
                    "http://127.0.0.1:%d/a%%20b/%%C3%%A9/%%01%%7f" % ok,
                    "http://127.0.0.1:%d/a b\"c\\d" % ok,
                    "http://pair.test:%d/" % ok, "http://localhost:%d/" % ok,
                    "https://127.0.0.1:%d/" % p["listener"],
                    "https://alpha.test:%d/x" % p["closed"],
                    "https://127.0.0.1:%d" % p["closer"], "http://empty.test:%d/" % ok,
                    "http://v6.test:%d/" % ok]:
            self.add("action=http&url=" + url, env)
        # The 1024-byte url buffer: raw values below, at and above 1023 bytes.
        for n in (1022, 1023, 1024, 1025):
            self.add("action=http&url=" + self.sized("http://127.0.0.1:%d/" % ok, "", n, "u"), env)
            self.add("action=http&url=" + self.sized("http://127.0.0.1:%d/" % ok, "%41", n, "u"),
                     env)
        timeout = dict(env, TARVIK_MOCK_TIMEOUT="1")
        self.add("action=http", timeout)
        for url in ["", "HTTP://alpha.test/", "ftp://alpha.test/", "http://alpha.test:/",
                    "http://alpha.test:0/", "http://alpha.test:65536/", "http://alpha.test:8a/",
                    "http://alpha.test:" + "0" * 15 + "80/", "http://[]/", "http://[zz]/",
                    "http://a..b/", "http://" + "h" * 256 + "/", "http://" + "h" * 255 + "/",
                    "http:///x", "http://nowhere.test/", "https://Nowhere.Test", "http://[::1",
                    "http://::1]/", "http://u@/", "%68ttp://alpha.test/",
                    "http://alpha.test%2F..%2F", "http://%C3%A9/"]:
            self.add("action=http&url=" + url, timeout)

    def random_rows(self):
        actions = ["ifaces", "dns", "tcp", "http", "info", "", "IFACES", "Dns", "t%63p", "nope",
                   "%00", "HTTP"]
        keys = ["host", "port", "url", "pwd", "action", "format", "theme", "embed", "x", ""]
        for _ in range(36):
            parts = []
            if self.rnd.random() < 0.85:
                parts.append("action=" + self.pick(actions + [self.hostile(3)]))
            for _ in range(self.rnd.randint(0, 5)):
                key = self.pick(keys)
                parts.append(key + "=" + self.hostile())
            self.rnd.shuffle(parts)
            query = self.pick(["&", "&&"]).join(parts)
            if self.rnd.random() < 0.1:
                query += "&x=" + ((self.hostile(4) or "y") * 3000)[:self.rnd.randint(2000, 12000)]
            env = {"TARVIK_MOCK_DNS": self.pick([MOCK_DNS, DOC_DNS, self.hostile(6)])}
            env["TARVIK_MOCK_IFACES"] = self.pick(["", "lo|127.0.0.1", self.hostile(6)])
            if self.rnd.random() < 0.3:
                env["MORV_PASSWORD"] = self.pick(["pw", self.hostile(3)])
                env[self.pick(["HTTP_X_MORV_PASSWORD", "HTTP_AUTHORIZATION"])] = \
                    self.pick(["pw", "Bearer pw", self.hostile(2)])
            row = Row(query, env, self.pick([None, "GET", "POST", "PUT", "HEAD"]))
            if safe(row) is not None:
                row.env["TARVIK_MOCK_TIMEOUT"] = "1"
            self.rows.append(row)


# ---------------------------------------------------------------------------
# Running and comparing.

STAMP = re.compile(rb'"generated_at":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ"')
MILLIS = re.compile(rb'"(latency_ms|avg_ms|min_ms|max_ms|connect_ms|read_ms)":-?\d+(?:\.\d+)?')
SAMPLES = re.compile(rb'"samples":\[[-0-9,nul]*\]')


def masked(out):
    """The output with the time stamp and the millisecond figures of a JSON
    reply replaced by fixed marks; null stays null."""
    if not (out.startswith(JSON_HEAD) or out.startswith(b"Status: ")):
        return out
    out = STAMP.sub(b'"generated_at":"#"', out)
    out = MILLIS.sub(rb'"\1":#', out)
    return SAMPLES.sub(lambda m: re.sub(rb"-?\d+", b"#", m.group(0)), out)


def once(cmd, row):
    """One run of a row; a run that the target's launcher failed to start is
    run once more and counted."""
    env = base_env()
    if row.query is not None:
        env["QUERY_STRING"] = row.query
    if row.method is not None:
        env["REQUEST_METHOD"] = row.method
    env.update(row.env)
    return run_argv(cmd + list(row.args), env, 120)[0]


def why_not():
    if TARGET.name == "linux":
        return "compares another target's build with the native Linux build: not on linux"
    if not os.access(LINUX, os.X_OK):
        return "the Linux build is missing: %s" % LINUX
    return None


def show(out, at=0, limit=1500):
    """out, or of a long out the part around byte at."""
    if len(out) <= limit:
        return repr(out)
    start = max(0, at - limit // 3)
    return "(%d bytes; from byte %d) %r" % (len(out), start, out[start:start + limit])


@unittest.skipIf(why_not(), why_not())
class Differential(unittest.TestCase):
    def test_builds_agree(self):
        listener, closer = peers.Peer(), peers.Peer()
        web = {
            "ok": peers.Peer(peers.answer(b"HTTP/1.1 204 No Content\r\nX-Seen: 1\r\n"
                                          b"Server: p\r\n\r\n")),
            "redirect": peers.Peer(peers.answer(b"HTTP/1.1 301 Moved Permanently\r\n"
                                                b"Location: /x\r\n\r\n")),
            "barelf": peers.Peer(peers.answer(b"HTTP/1.0 200\nA: 1\n\n")),
            "banner": peers.Peer(peers.answer(b"SSH-2.0-peer\r\n")),
            "flood": peers.Peer(peers.flood(b"HTTP/1.1 200 OK\r\n")),
        }
        try:
            ports = {name: peer.port for name, peer in web.items()}
            ports.update(listener=listener.port, closer=closer.port, closed=peers.closed_port())
            rows = Generator(ports).make()
            unsafe = [(row, why) for row in rows for why in [safe(row)] if why]
            self.assertEqual([], unsafe, "rows that could reach the system resolver or connect "
                                         "beyond loopback")
            local = [(row, why) for row in rows for why in [same_everywhere(row)] if why]
            self.assertEqual([], local, "rows whose output depends on the system")
            t0 = time.monotonic()
            with ThreadPoolExecutor(WORKERS) as pool:
                jobs = [(row, pool.submit(once, [LINUX], row), pool.submit(once, RUN, row))
                        for row in rows]
                results = [(row, a.result(), b.result()) for row, a, b in jobs]
            elapsed = time.monotonic() - t0
        finally:
            for peer in [listener, closer] + list(web.values()):
                peer.close()

        problems = []
        for row, lin, win in results:
            if (lin.returncode, lin.stderr, win.returncode, win.stderr) != (0, b"", 0, b""):
                problems.append("%r\n  exit %d/%d, stderr linux %s, target %s"
                                % (row, lin.returncode, win.returncode, show(lin.stderr),
                                   show(win.stderr)))
            elif masked(lin.stdout) != masked(win.stdout):
                a, b = masked(lin.stdout), masked(win.stdout)
                at = next((i for i, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))
                problems.append("%r\n  outputs differ at byte %d (masked)\n  linux:  %s\n  target: %s"
                                % (row, at, show(a, at), show(b, at)))
            elif lin.stdout.startswith(JSON_HEAD) or lin.stdout.startswith(b"Status: "):
                try:
                    validated(lin.stdout.split(b"\r\n\r\n", 1)[1])
                except AssertionError as e:
                    problems.append("%r\n  %s" % (row, e))
        print("\ndifferential: %d requests, each through linux and %s, in %.1f s with %d workers"
              % (len(rows), TARGET.name, elapsed, WORKERS), file=sys.stderr)
        if problems:
            self.fail("%d of %d requests differ or fail (the first %d shown):\n\n%s"
                      % (len(problems), len(rows), min(10, len(problems)),
                         "\n\n".join(problems[:10])))


if __name__ == "__main__":
    main()
