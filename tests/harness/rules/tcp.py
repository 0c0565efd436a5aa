"""The tcp action: the host and port parameters and their validation, the
port text read as a number, then connects to the suite's listener and to a
closed port on loopback, through literals and mocked names."""
from . import MOCK_DNS, R, doc, err

MOCK = {"TARVIK_MOCK_DNS": MOCK_DNS}
TIMEOUT = dict(MOCK, TARVIK_MOCK_TIMEOUT="1")


def checked(host, port, status, address=None, resolved=True):
    """The document of a check: three samples, none measured unless open;
    one when the name did not resolve."""
    samples = "[null]" if status == "timeout" or not resolved else \
        "[#,#,#]" if status == "open" else "[null,null,null]"
    times = "#,#,#" if status == "open" else "null,null,null"
    return doc(('{"ok":true,"action":"tcp","host":"%s","port":%s,"generated_at":"#","open":%s,'
                '"status":"%s","address":%s,"samples":%s,"avg_ms":%s,"min_ms":%s,"max_ms":%s,'
                '"timeout_ms":3000}' % ((host, port, str(status == "open").lower(), status,
                                         '"%s"' % address if address else "null", samples)
                                        + tuple(times.split(","))))
               .encode())


ROWS = [
    R("no host", "action=tcp", {}, err('host required')),
    R("no host, a port", "action=tcp&port=80", {}, err('host required')),
    R("no port", "action=tcp&host=a.test", {}, err('port required')),
    R("empty host, no port", "action=tcp&host=", {}, err('port required')),
    R("invalid host, no port", "action=tcp&host=a..b", {}, err('port required')),
    R("invalid: empty host", "action=tcp&host=&port=80", {}, err('invalid host')),
    R("invalid: empty label", "action=tcp&host=a..b&port=80", {}, err('invalid host')),
    R("invalid: host before port", "action=tcp&host=a..b&port=0", {}, err('invalid host')),
    R("invalid: blank", "action=tcp&host=a+b&port=80", {}, err('invalid host')),
    R("invalid: brackets", "action=tcp&host=%5B::1%5D&port=80", {}, err('invalid host')),
    R("invalid: 254 bytes", "action=tcp&host=" + "a" * 254 + "&port=1", {}, err('invalid host')),
    # The 256-byte host buffer: 255 raw bytes are kept, before decoding.
    R("capacity: 253 bytes", "action=tcp&host=" + "A" * 253 + "&port=1", TIMEOUT,
      checked("a" * 253, 1, 'timeout')),
    R("capacity: 254 escaped bytes", "action=tcp&host=aa" + "%61" * 84 + "&port=1", TIMEOUT,
      checked("a" * 86, 1, 'timeout')),
    R("capacity: 255 escaped bytes", "action=tcp&host=" + "%61" * 85 + "&port=1", TIMEOUT,
      checked("a" * 85, 1, 'timeout')),
    R("capacity: 256 escaped bytes", "action=tcp&host=" + "%61" * 85 + "b&port=1", TIMEOUT,
      checked("a" * 85, 1, 'timeout')),
    R("capacity: escape ends 255 bytes", "action=tcp&host=" + "a" * 252 + "%41&port=1", TIMEOUT,
      checked("a" * 253, 1, 'timeout')),
    R("invalid: escape cut at 255 bytes", "action=tcp&host=" + "a" * 253 + "%41&port=1",
      TIMEOUT, err('invalid host')),
    R("invalid port: 0", "action=tcp&host=a.test&port=0", {}, err('invalid port')),
    R("invalid port: 65536", "action=tcp&host=a.test&port=65536", {}, err('invalid port')),
    R("invalid port: letters", "action=tcp&host=a.test&port=abc", {}, err('invalid port')),
    R("invalid port: empty", "action=tcp&host=a.test&port=", {}, err('invalid port')),
    R("invalid port: negative", "action=tcp&host=a.test&port=-80", {}, err('invalid port')),
    R("invalid port: -1", "action=tcp&host=empty.test&port=-1", {}, err('invalid port')),
    R("invalid port: zero byte", "action=tcp&host=empty.test&port=%00", {}, err('invalid port')),
    R("invalid port: 20 digits", "action=tcp&host=a.test&port=" + "0" * 18 + "80", {},
      err('invalid port')),
    R("invalid port: 11 digits", "action=tcp&host=a.test&port=99999999999", {},
      err('invalid port')),
    R("invalid port: 2^32 + 81", "action=tcp&host=a.test&port=4294967377", {},
      err('invalid port')),
    # The port text read as a number, without connecting.
    R("port: trailing letters", "action=tcp&host=A.Test&port=80abc", TIMEOUT,
      checked('a.test', 80, 'timeout')),
    R("port: leading blank", "action=tcp&host=A.Test&port=%20443", TIMEOUT,
      checked('a.test', 443, 'timeout')),
    R("port: plus", "action=tcp&host=A.Test&port=+22", TIMEOUT, checked('a.test', 22, 'timeout')),
    R("port: escaped plus", "action=tcp&host=A.Test&port=%2B22", TIMEOUT,
      checked('a.test', 22, 'timeout')),
    R("port: leading zeros", "action=tcp&host=A.Test&port=00080", TIMEOUT,
      checked('a.test', 80, 'timeout')),
    R("port: 15 digits", "action=tcp&host=A.Test&port=" + "0" * 13 + "80", TIMEOUT,
      checked('a.test', 80, 'timeout')),
    R("port: 16 bytes, 15 kept", "action=tcp&host=A.Test&port=" + "0" * 14 + "80", TIMEOUT,
      checked('a.test', 8, 'timeout')),
    R("port: 14 digits", "action=tcp&host=A.Test&port=" + "0" * 12 + "80", TIMEOUT,
      checked('a.test', 80, 'timeout')),
    R("port: escape ends 15 bytes", "action=tcp&host=A.Test&port=" + "0" * 12 + "%38", TIMEOUT,
      checked('a.test', 8, 'timeout')),
    R("invalid port: escape cut at 15 bytes", "action=tcp&host=A.Test&port=" + "0" * 13 + "%38",
      TIMEOUT, err('invalid port')),
    # The port is read past leading white space: each of the C locale's six
    # bytes, but not the bytes beside them.
] + [
    R("port: leading %s" % name, "action=tcp&host=A.Test&port=%s443" % esc, TIMEOUT,
      checked('a.test', 443, 'timeout'))
    for name, esc in (("tab", "%09"), ("line feed", "%0A"), ("vertical tab", "%0B"),
                      ("form feed", "%0C"), ("carriage return", "%0D"), ("plus", "+"),
                      ("four blanks", "%09%0B%0D+"))
] + [
    R("invalid port: leading byte %s" % esc, "action=tcp&host=A.Test&port=%s443" % esc, TIMEOUT,
      err('invalid port'))
    for esc in ("%08", "%0E", "%1F", "%A0", "%85", "%C2%A0")
] + [
    R("port: trailing tab", "action=tcp&host=A.Test&port=443%09", TIMEOUT,
      checked('a.test', 443, 'timeout')),
    R("invalid host: a tab before it", "action=tcp&host=%09alpha.test&port=1", TIMEOUT,
      err('invalid host')),
    R("invalid host: a carriage return after it", "action=tcp&host=alpha.test%0D&port=1", TIMEOUT,
      err('invalid host')),
    R("invalid port: hexadecimal, read as 0", "action=tcp&host=A.Test&port=0x80", TIMEOUT,
      err('invalid port')),
    R("port: first wins", "action=tcp&host=A.Test&port=80&port=1", TIMEOUT,
      checked('a.test', 80, 'timeout')),
    R("port: escaped digit", "action=tcp&host=A.Test&port=8%30", TIMEOUT,
      checked('a.test', 80, 'timeout')),
    R("port: 65535", "action=tcp&host=A.Test&port=65535", TIMEOUT,
      checked('a.test', 65535, 'timeout')),
    R("timeout: literal", "action=TCP&host=::1&port={listener}", TIMEOUT,
      checked('::1', '{listener}', 'timeout')),
    R("timeout: not in the table", "action=tcp&host=nowhere.test&port=80", TIMEOUT,
      checked('nowhere.test', 80, 'timeout')),
    # Connects.
    R("open: name", "action=tcp&host=alpha.test&port={listener}", MOCK,
      checked('alpha.test', '{listener}', 'open', '127.0.0.1')),
    R("open: mixed case", "action=tcp&host=ALPHA.test&port={listener}", MOCK,
      checked('alpha.test', '{listener}', 'open', '127.0.0.1')),
    R("open: literal", "action=tcp&host=127.0.0.1&port={listener}", MOCK,
      checked('127.0.0.1', '{listener}', 'open', '127.0.0.1')),
    R("closed: ::1 refuses first", "action=tcp&host=both.test&port={listener}", MOCK,
      checked('both.test', '{listener}', 'closed')),
    R("open: first of two", "action=tcp&host=pair.test&port={listener}", MOCK,
      checked('pair.test', '{listener}', 'open', '127.0.0.1')),
    R("open: first of 16", "action=tcp&host=many.test&port={listener}", MOCK,
      checked('many.test', '{listener}', 'open', '127.0.0.1')),
    R("open: localhost from the table", "action=tcp&host=localhost&port={listener}", MOCK,
      checked('localhost', '{listener}', 'open', '127.0.0.1')),
    # junk.test gives 127.0.0.4 alone: " 127.0.0.3" begins with a blank and is
    # no address.
    R("closed: junk.test gives only 127.0.0.4, which refuses",
      "action=tcp&host=junk.test&port={listener}",
      MOCK, checked('junk.test', '{listener}', 'closed')),
    R("closed: ::1 refuses", "action=tcp&host=::1&port={listener}", MOCK,
      checked('::1', '{listener}', 'closed')),
    R("closed: v6.test refuses", "action=tcp&host=v6.test&port={listener}", MOCK,
      checked('v6.test', '{listener}', 'closed')),
    R("closed: name", "action=tcp&host=alpha.test&port={closed}", MOCK,
      checked('alpha.test', '{closed}', 'closed')),
    R("closed: literal", "action=tcp&host=127.0.0.1&port={closed}", MOCK,
      checked('127.0.0.1', '{closed}', 'closed')),
    R("closed: empty entry", "action=tcp&host=empty.test&port=80", MOCK,
      checked("empty.test", 80, "closed", resolved=False)),
    R("closed: refused, not walked on", "action=tcp&host=pair.test&port={closed}", MOCK,
      checked('pair.test', '{closed}', 'closed')),
]
