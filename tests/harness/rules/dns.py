"""The dns action: the host parameter and its validation, lower-casing, the
mock table (entries that do not apply, tokens that are no address, the
record cap), the forced timeout; the host buffer's capacity."""
from . import DOC_DNS, MOCK_DNS, R, doc, err

MOCK = {"TARVIK_MOCK_DNS": MOCK_DNS}
TIMEOUT = dict(MOCK, TARVIK_MOCK_TIMEOUT="1")
# Names validation must refuse although the table would answer them.
REFUSE = {"TARVIK_MOCK_DNS": "a b=192.0.2.1;a..b=192.0.2.1"}


def found(host, *addresses, resolved=True, timeout=False):
    """The document of a lookup; an address with a colon is inet6, and a
    lookup that timed out has no resolver code."""
    results = ",".join('{"address":"%s","family":"%s","canonical":null}'
                       % (a, "inet6" if ":" in a else "inet") for a in addresses)
    return doc(('{"ok":true,"action":"dns","host":"%s","generated_at":"#","timeout_ms":3000,'
                '"resolved":%s,"timeout":%s,"code":%s,"latency_ms":#,"results":[%s],"count":%d}'
                % (host, str(resolved).lower(), str(timeout).lower(), "null" if timeout else 0,
                   results, len(addresses)))
               .encode())


def table(value, host="alpha.test"):
    return {"TARVIK_MOCK_DNS": "%s=%s" % (host, value)}


ROWS = [
    R("no host", "action=dns", REFUSE, err('host required')),
    R("empty host", "action=dns&host=", REFUSE, err('host required')),
    R("host starts with a zero byte", "action=dns&host=%00x", REFUSE, err('host required')),
    R("xhost is not host", "action=dns&xhost=alpha.test", MOCK, err('host required')),
    R("invalid: blank", "action=dns&host=a%20b", REFUSE, err('invalid host')),
    R("invalid: empty label", "action=dns&host=a..b", REFUSE, err('invalid host')),
    R("invalid: brackets", "action=dns&host=%5B::1%5D", REFUSE, err('invalid host')),
    R("invalid: raw brackets", "action=dns&host=[::1]", TIMEOUT, err('invalid host')),
    R("invalid: leading dot", "action=dns&host=.a", TIMEOUT, err('invalid host')),
    R("invalid: trailing dot", "action=dns&host=a.", TIMEOUT, err('invalid host')),
    R("invalid: non-ASCII", "action=dns&host=%C3%A9", TIMEOUT, err('invalid host')),
    R("invalid: line feed", "action=dns&host=%0a", TIMEOUT, err('invalid host')),
    # Host characters: letters, digits, '-' and '_'; each end of each range
    # passes and the byte beside it fails.
    R("edges of the letters and digits", "action=dns&host=09azAZ", TIMEOUT,
      found('09azaz', resolved=False, timeout=True)),
] + [
    R("invalid: %s" % esc, "action=dns&host=a%sb" % esc, TIMEOUT, err('invalid host'))
    for esc in ("%2F", "%3A", "%40", "%5B", "%60", "%7B", "%2C", "%5E", "%7F", "%80", "%FF",
                "%20", "%09", "%0A", "%0B", "%0C", "%0D", "+")
] + [
    R("underscore and hyphens", "action=dns&host=a_b.-x-", TIMEOUT,
      found('a_b.-x-', resolved=False, timeout=True)),
    R("a 70-byte label", "action=dns&host=" + "c" * 70 + ".test", TIMEOUT,
      found('cccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccc.test',
            resolved=False, timeout=True)),
    R("no address literal", "action=dns&host=999.1.1.1", TIMEOUT,
      found('999.1.1.1', resolved=False, timeout=True)),
    R("not in the table", "action=dns&host=nowhere.test", TIMEOUT,
      found('nowhere.test', resolved=False, timeout=True)),
    # Hits.
    R("hit", "action=dns&host=alpha.test", MOCK, found('alpha.test', '127.0.0.1')),
    R("hit: upper case", "action=dns&host=ALPHA.TEST", MOCK, found('alpha.test', '127.0.0.1')),
    R("hit: escaped", "action=dns&host=%61lpha.test", MOCK, found('alpha.test', '127.0.0.1')),
    R("hit: mixed case, POST, host first", "host=Alpha.Test&action=dns", MOCK,
      found('alpha.test', '127.0.0.1'), method="POST"),
    R("hit: IPv6", "action=dns&host=v6.test", MOCK, found('v6.test', '::1')),
    R("hit: both families", "action=dns&host=both.test", MOCK,
      found('both.test', '::1', '127.0.0.1')),
    R("hit: 17 addresses, 16 kept", "action=dns&host=many.test", MOCK,
      found("many.test", *["127.0.0.%d" % i for i in range(1, 17)])),
    R("hit: empty entry", "action=dns&host=empty.test", MOCK, found('empty.test', resolved=False)),
    R("hit: tokens that are no address", "action=dns&host=junk.test", MOCK,
      found('junk.test', '127.0.0.4')),
    R("hit: trailing blanks", "action=dns&host=spaces.test", MOCK,
      found('spaces.test', '127.0.0.1')),
    R("hit: localhost from the table", "action=dns&host=localhost", MOCK,
      found('localhost', '127.0.0.1')),
    R("hit: the first of two entries", "action=dns&host=dup.test", MOCK,
      found('dup.test', '127.0.0.5')),
    R("hit: first host wins", "action=dns&host=alpha.test&host=v6.test", MOCK,
      found('alpha.test', '127.0.0.1')),
    R("hit: documentation addresses as written", "action=DNS&host=doc.test",
      {"TARVIK_MOCK_DNS": DOC_DNS},
      found('doc.test', '192.0.2.10', '2001:db8::10', '::ffff:192.0.2.1', '2001:db8::1')),
    R("hit: the lower-cased name", "action=dns&host=Example.COM",
      {"TARVIK_MOCK_DNS": "example.com=192.0.2.1;Example.COM=192.0.2.99"},
      found('example.com', '192.0.2.1')),
    R("hit: 16 of 20 records",  "action=dns&host=alpha.test",
      table(",".join(["192.0.2.%d" % i for i in range(1, 11)] +
                     ["2001:db8::%x" % i for i in range(1, 11)])),
      found("alpha.test", *["192.0.2.%d" % i for i in range(1, 11)],
            *["2001:db8::%x" % i for i in range(1, 7)])),
    # Literals.
    R("literal IPv4", "action=dns&host=127.0.0.1", MOCK, found('127.0.0.1', '127.0.0.1')),
    R("literal IPv6", "action=dns&host=::1", MOCK, found('::1', '::1')),
    R("literal IPv6 long form", "action=dns&host=0:0:0:0:0:0:0:1", MOCK,
      found('0:0:0:0:0:0:0:1', '::1')),
    R("literal mapped IPv4", "action=dns&host=::ffff:127.0.0.1", MOCK,
      found('::ffff:127.0.0.1', '::ffff:127.0.0.1')),
    # Entries that do not apply, and a later one that does.
    R("table: names match by case", "action=dns&host=alpha.test",
      {"TARVIK_MOCK_DNS": "Alpha.test=127.0.0.9;alpha.test=127.0.0.5"},
      found('alpha.test', '127.0.0.5')),
    R("table: a blank before the name", "action=dns&host=alpha.test",
      {"TARVIK_MOCK_DNS": "x=1; alpha.test=127.0.0.9;alpha.test=127.0.0.5"},
      found('alpha.test', '127.0.0.5')),
    R("table: an entry over 511 bytes", "action=dns&host=alpha.test",
      {"TARVIK_MOCK_DNS": "alpha.test=" + "1" * 501 + ";alpha.test=127.0.0.5"},
      found('alpha.test', '127.0.0.5')),
    R("table: an entry of 511 bytes", "action=dns&host=alpha.test",
      table("127.0.0.1" + " " * 491), found('alpha.test', '127.0.0.1')),
    R("table: empty entries, an equals sign in the value", "action=dns&host=alpha.test",
      {"TARVIK_MOCK_DNS": ";;noequals;alpha.test=127.0.0.5=x,127.0.0.6;"},
      found('alpha.test', '127.0.0.6')),
    R("table: empty token", "action=dns&host=alpha.test", table("127.0.0.1,,127.0.0.2"),
      found('alpha.test', '127.0.0.1', '127.0.0.2')),
    R("table: bogus token", "action=dns&host=alpha.test", table("bogus,127.0.0.3"),
      found('alpha.test', '127.0.0.3')),
    R("table: blank before a token", "action=dns&host=alpha.test", table("127.0.0.1, 127.0.0.2"),
      found('alpha.test', '127.0.0.1')),
    R("table: token over 127 bytes", "action=dns&host=alpha.test", table("1" * 130 + ",::1"),
      found('alpha.test', '::1')),
    R("table: blanks cut at 127 bytes", "action=dns&host=alpha.test",
      table("127.0.0.1" + " " * 130 + ",::2"), found('alpha.test', '127.0.0.1', '::2')),
    R("table: 19 IPv6 addresses", "action=dns&host=alpha.test",
      table(",".join("::%x" % i for i in range(1, 20))),
      found("alpha.test", *["::%x" % i for i in range(1, 17)])),
    R("table: nothing", "action=dns&host=alpha.test", table(""),
      found('alpha.test', resolved=False)),
    R("table: commas", "action=dns&host=alpha.test", table(",,"),
      found('alpha.test', resolved=False)),
    R("table: bogus, then a blank", "action=dns&host=alpha.test", table("bogus, 192.0.2.1"),
      found('alpha.test', resolved=False)),
    R("table: brackets", "action=dns&host=alpha.test", table("[::1]"),
      found('alpha.test', resolved=False)),
    R("table: octet over 255", "action=dns&host=alpha.test", table("192.0.2.256"),
      found('alpha.test', resolved=False)),
    # The forced timeout: only a value that starts with 1.
    R("timeout: 1", "action=dns&host=alpha.test", TIMEOUT,
      found('alpha.test', resolved=False, timeout=True)),
    R("timeout: 10", "action=dns&host=alpha.test", dict(MOCK, TARVIK_MOCK_TIMEOUT="10"),
      found('alpha.test', resolved=False, timeout=True)),
    R("timeout: 1x", "action=dns&host=alpha.test", dict(MOCK, TARVIK_MOCK_TIMEOUT="1x"),
      found('alpha.test', resolved=False, timeout=True)),
    R("timeout: 0", "action=dns&host=v6.test", dict(MOCK, TARVIK_MOCK_TIMEOUT="0"),
      found('v6.test', '::1')),
    R("timeout: true", "action=dns&host=v6.test", dict(MOCK, TARVIK_MOCK_TIMEOUT="true"),
      found('v6.test', '::1')),
    R("timeout: empty", "action=dns&host=v6.test", dict(MOCK, TARVIK_MOCK_TIMEOUT=""),
      found('v6.test', '::1')),
    R("timeout: 01", "action=dns&host=v6.test", dict(MOCK, TARVIK_MOCK_TIMEOUT="01"),
      found('v6.test', '::1')),
    # The 256-byte host buffer and the 253-byte name.
    R("capacity: 253 bytes", "action=dns&host=" + "a" * 253, MOCK, found("a" * 253, "127.0.0.1")),
    R("capacity: 253 bytes, upper case", "action=dns&host=" + "A" * 253, MOCK,
      found("a" * 253, "127.0.0.1")),
    R("capacity: 254 bytes", "action=dns&host=" + "a" * 254, TIMEOUT, err('invalid host')),
    R("capacity: 300 bytes", "action=dns&host=" + "b" * 300, TIMEOUT, err('invalid host')),
    R("capacity: 255 escaped bytes", "action=dns&host=" + "%61" * 85, MOCK,
      found("a" * 85, "127.0.0.1")),
    R("capacity: 256 escaped bytes", "action=dns&host=" + "%61" * 85 + "a", MOCK,
      found("a" * 85, "127.0.0.1")),
    R("capacity: 254 escaped bytes", "action=dns&host=aa" + "%61" * 84, TIMEOUT,
      found("a" * 86, resolved=False, timeout=True)),
    # An escape at the end of the 255 raw bytes kept, whole or cut.
    R("capacity: escape ends 255 bytes", "action=dns&host=" + "a" * 252 + "%41", MOCK,
      found("a" * 253, "127.0.0.1")),
    R("capacity: escape cut at 255 bytes", "action=dns&host=" + "a" * 253 + "%41", MOCK,
      err('invalid host')),
    # Address tokens of the mock table: their first 127 bytes count.
    R("table: x as the 127th byte of a token", "action=dns&host=alpha.test",
      table("127.0.0.1" + " " * 117 + "x,::1"), found('alpha.test', '::1')),
    R("table: x as the 128th byte of a token", "action=dns&host=alpha.test",
      table("127.0.0.1" + " " * 118 + "x,::1"), found('alpha.test', '127.0.0.1', '::1')),
    R("table: 16 addresses", "action=dns&host=alpha.test",
      table(",".join("::%x" % i for i in range(1, 17))),
      found("alpha.test", *["::%x" % i for i in range(1, 17)])),
    R("table: 15 addresses and a bogus one", "action=dns&host=alpha.test",
      table(",".join(["::%x" % i for i in range(1, 16)] + ["bogus", "::99"])),
      found("alpha.test", *["::%x" % i for i in range(1, 16)] + ["::99"])),
]
