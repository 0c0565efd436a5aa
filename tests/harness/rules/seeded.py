"""Seeded random rows, run on every target but the native one through both
the target's build and the native build: passwords from every source,
interface tables, and queries of random keys and hostile values. Their
expected bytes are the native build's. A random query may name any host,
so the suite runs them where no name can reach the machine's resolver."""
import random
import urllib.parse

from . import DOC_DNS, MOCK_DNS, R

SEED = 20261209
HOSTILE = ["%", "%%", "%G1", "%4", "%4g", "%00", "%0a", "%0D%0A", "%7f", "%ff", "%FE%fd",
           "%C3%A9", "%e2%82%ac", "\u00e9", "\u5bc6", "+", "=", "&", "&&", "a", "Z", "0",
           "127.0.0.1", "::1", "[::1]", "http://", "https://", ":", "@", "/", "?", "#", "\x01",
           "\t", " ", "\x7f", "..", ".", "-", "_", "%2525", '"', "\\", "<b>", "x" * 300,
           "%2f%2F", "%cd%CD%eE", "action=", "host=", "url=", "pwd=", ";", ",", "|"]


def rows():
    rnd = random.Random(SEED)
    pick = rnd.choice

    def hostile(most=8):
        return "".join(pick(HOSTILE) for _ in range(rnd.randint(0, most)))

    out = []
    for secret in ["S3cret pw", "p\u00e4sswort", "\u5bc6\u7801", "a+b%41", "p" * 255, "q" * 256,
                   "t\tab", ""]:
        enc = urllib.parse.quote_plus(secret.encode())
        sources = [({"HTTP_X_MORV_PASSWORD": secret}, ""),
                   ({"HTTP_X_MORV_PASSWORD": "wrong"}, "&pwd=" + enc),
                   ({"HTTP_AUTHORIZATION": "Bearer " + secret}, ""),
                   ({"HTTP_AUTHORIZATION": "   Bearer   " + secret}, ""),
                   ({"HTTP_AUTHORIZATION": "bearer " + secret}, ""),
                   ({}, "&pwd=" + enc), ({}, "&pwd=" + urllib.parse.quote(secret.encode())),
                   ({}, "&pwd=" + enc + "x"),
                   ({}, "&pwd=" + secret.replace("%", "%25").replace("&", "%26"))]
        for env, extra in rnd.sample(sources, 3):
            head = pick(["action=info", "", "action=dns&host=alpha.test", "format=json",
                         "action=ifaces"])
            env = dict(env, MORV_PASSWORD=secret, TARVIK_MOCK_DNS=MOCK_DNS,
                       TARVIK_MOCK_IFACES="lo|127.0.0.1|255.0.0.0||x|1")
            out.append(R("password", head + extra, env, None, pick([None, "GET", "POST"])))

    fields = [["", "eth0", "lo", "n" * 63, "m" * 64, "Ethernet 2", "\u00e9-adapter", "\x01ctl"],
              ["127.0.0.1", "192.0.2.5", "::1", "fe80::1", "2001:DB8:0:0::1", "::ffff:192.0.2.1",
               "1.2.3.04", "1.2.3", "1::2::3", " 192.0.2.1", "", "bogus", "127.1", "::"],
              ["", "255.255.255.0", "255.0.255.0", "255.255.255.256", " 255.0.0.0", "0.0.0.0"],
              ["", "192.0.2.255", "not an address", "b" * 64, "\u00e9\u00e9", "\\x"],
              ["x", "", "|"], ["1", "0", "10", " 1", "", "1|more|bars", "x"]]
    for _ in range(10):
        entries = []
        for _ in range(rnd.randint(1, 6)):
            entries.append("|".join(pick(f) for f in fields[:rnd.randint(1, 6)]))
            if rnd.random() < 0.2:
                entries.append("")
        out.append(R("ifaces", pick(["action=ifaces", "action=IFACES", "action=%69faces"]),
                     {"TARVIK_MOCK_IFACES": ",".join(entries)}, None, pick([None, "POST"])))

    actions = ["ifaces", "dns", "tcp", "http", "info", "", "IFACES", "Dns", "t%63p", "nope",
               "%00", "HTTP"]
    keys = ["host", "port", "url", "pwd", "action", "format", "theme", "embed", "x", ""]
    for _ in range(36):
        parts = []
        if rnd.random() < 0.85:
            parts.append("action=" + pick(actions + [hostile(3)]))
        for _ in range(rnd.randint(0, 5)):
            parts.append(pick(keys) + "=" + hostile())
        rnd.shuffle(parts)
        query = pick(["&", "&&"]).join(parts)
        if rnd.random() < 0.1:
            query += "&x=" + ((hostile(4) or "y") * 3000)[:rnd.randint(2000, 12000)]
        env = {"TARVIK_MOCK_DNS": pick([MOCK_DNS, DOC_DNS, hostile(6)]),
               "TARVIK_MOCK_IFACES": pick(["", "lo|127.0.0.1", hostile(6)])}
        if rnd.random() < 0.3:
            env["MORV_PASSWORD"] = pick(["pw", hostile(3)])
            env[pick(["HTTP_X_MORV_PASSWORD", "HTTP_AUTHORIZATION"])] = \
                pick(["pw", "Bearer pw", hostile(2)])
        out.append(R("random", query, env, None, pick([None, "GET", "POST", "PUT", "HEAD"])))
    return out
