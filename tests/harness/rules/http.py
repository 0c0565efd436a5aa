"""The http action: the url parameter, the URL's parts (scheme, user,
host, port, path, query and fragment), its validation, the path sent, and
answers from the suite's peers: a 204, a redirect, bare line ends, a banner
that is no HTTP, a peer that closes at once, one that floods, a closed
port; the url buffer's capacity."""
from . import MOCK_DNS, R, doc, err

MOCK = {"TARVIK_MOCK_DNS": MOCK_DNS}
TIMEOUT = dict(MOCK, TARVIK_MOCK_TIMEOUT="1")


# What follows the time stamp, by what the check met.
TAILS = {
    "204": '"reachable":true,"connect_ms":#,"status":204,"status_text":"No Content",'
           '"header_lines":2,"body_bytes_read":0,"read_ms":#,"headers_complete":true}\n',
    "301": '"reachable":true,"connect_ms":#,"status":301,"status_text":"Moved Permanently",'
           '"header_lines":1,"body_bytes_read":0,"read_ms":#,"headers_complete":true,'
           '"redirect":"not_followed"}\n',
    "bare": '"reachable":true,"connect_ms":#,"status":200,"status_text":"","header_lines":1,'
            '"body_bytes_read":0,"read_ms":#,"headers_complete":true}\n',
    "no answer": '"reachable":true,"connect_ms":#,"status":null,"status_text":null,'
                 '"header_lines":0,"body_bytes_read":0,"read_ms":#,"headers_complete":false}\n',
    "flood": '"reachable":true,"connect_ms":#,"status":200,"status_text":"OK","header_lines":1,'
             '"body_bytes_read":0,"read_ms":#,"headers_complete":false}\n',
    "tls open": '"reachable":true,"connect_ms":#,"status":null,"status_text":null,'
                '"header_lines":0,"body_bytes_read":0,'
                '"note":"tcp connect succeeded; the TLS handshake was not attempted"}\n',
    "tls refused": '"reachable":false,"connect_ms":null,"status":null,"status_text":null,'
                   '"header_lines":0,"body_bytes_read":0,"note":"tcp connect failed",'
                   '"tls_note":"no TLS library: only the TCP connect to 443 was attempted"}\n',
    "refused": '"reachable":false,"connect_ms":null,"status":null,"status_text":null,'
               '"header_lines":0,"body_bytes_read":0,"note":"tcp connect failed"}\n',
    "timeout": '"reachable":false,"connect_ms":null,"status":null,"status_text":null,'
               '"header_lines":0,"body_bytes_read":0,"note":"dns resolution timed out"}',
    "unresolved": '"reachable":false,"connect_ms":null,"status":null,"status_text":null,'
                  '"header_lines":0,"body_bytes_read":0,"note":"host does not resolve"}',
}


def got(url, host, port, path, tail, tls="false"):
    """The document of a check of url (its JSON text) that ended in tail."""
    return doc(('{"ok":true,"action":"http","url":"%s","host":"%s","port":%s,"path":"%s",'
                '"tls":%s,"generated_at":"#",%s' % (url, host, port, path, tls, TAILS[tail]))
               .encode())


URL = "http://127.0.0.1:{ok5}/"


def sized(suffix, length):
    """A url of length bytes, once the port is put in."""
    return URL + "u" * (length - len(URL) - len(suffix)) + suffix


def capacity(url):
    return got(url, "127.0.0.1", "{ok}", "/" + "u" * 254, "204")


ROWS = [
    R("no url", "action=http", TIMEOUT, err('url required')),
    R("url without a value", "action=http&url", {}, err('url required')),
    R("empty url", "action=http&url=", TIMEOUT, err('invalid url')),
    R("invalid: upper-case scheme", "action=http&url=HTTP://alpha.test/", TIMEOUT,
      err('invalid url')),
    R("invalid: ftp", "action=http&url=ftp://alpha.test/", TIMEOUT, err('invalid url')),
    R("invalid: empty port", "action=http&url=http://alpha.test:/", TIMEOUT, err('invalid url')),
    R("invalid: port 0", "action=http&url=http://alpha.test:0/", TIMEOUT, err('invalid url')),
    R("invalid: port 65536", "action=http&url=http://alpha.test:65536/", TIMEOUT,
      err('invalid url')),
    R("invalid: port 11 digits", "action=http&url=http://site.test:99999999999/", {},
      err('invalid url')),
    # The digits are summed only while the value can still be a port: one
    # more after 65535 makes it too large, not 65535.
    R("invalid: port 655350", "action=http&url=http://alpha.test:655350/", TIMEOUT,
      err('invalid url')),
    R("invalid: port with a letter", "action=http&url=http://alpha.test:8a/", TIMEOUT,
      err('invalid url')),
    R("invalid: port of 17 digits", "action=http&url=http://alpha.test:" + "0" * 15 + "80/",
      TIMEOUT, err('invalid url')),
    R("invalid: empty brackets", "action=http&url=http://[]/", TIMEOUT, err('invalid url')),
    R("invalid: no address in brackets", "action=http&url=http://[zz]/", TIMEOUT,
      err('invalid url')),
    R("invalid: open bracket", "action=http&url=http://[::1", TIMEOUT, err('invalid url')),
    R("invalid: close bracket", "action=http&url=http://::1]/", TIMEOUT, err('invalid url')),
    R("invalid: empty label", "action=http&url=http://a..b/", TIMEOUT, err('invalid url')),
    R("invalid: host of 256 bytes", "action=http&url=http://" + "h" * 256 + "/", TIMEOUT,
      err('invalid url')),
    R("invalid: no host", "action=http&url=http:///x", TIMEOUT, err('invalid url')),
    R("invalid: user, no host", "action=http&url=http://u@/", TIMEOUT, err('invalid url')),
    R("invalid: non-ASCII host", "action=http&url=http://%C3%A9/", TIMEOUT, err('invalid url')),
    R("invalid: name of 254 bytes", "action=http&url=http://" + "h" * 254 + "/", TIMEOUT,
      err('invalid url')),
    R("invalid: host of 255 bytes, a name over 253", "action=http&url=http://" + "h" * 255 + "/",
      TIMEOUT, err('invalid url')),
    R("timeout: name of 253 bytes", "action=http&url=http://" + "h" * 253 + "/", TIMEOUT,
      got("http://" + "h" * 253 + "/", "h" * 253, 80, "/", "timeout")),
    # The url is decoded before it is taken apart, so an escaped scheme and
    # escaped slashes count as written plainly.
    R("timeout: escaped scheme", "action=http&url=%68ttp://alpha.test/", TIMEOUT,
      got('http://alpha.test/', 'alpha.test', 80, '/', 'timeout')),
    R("timeout: escaped slashes end the authority", "action=http&url=http://alpha.test%2F..%2F",
      TIMEOUT,
      got('http://alpha.test/../', 'alpha.test', 80, '/../', 'timeout')),
    R("timeout: not in the table", "action=http&url=http://nowhere.test/", TIMEOUT,
      got('http://nowhere.test/', 'nowhere.test', 80, '/', 'timeout')),
    R("timeout: https, mixed case", "action=http&url=https://Nowhere.Test", TIMEOUT,
      got('https://Nowhere.Test', 'Nowhere.Test', 443, '/', 'timeout', tls='"not_checked"')),
    R("unresolved: empty entry", "action=http&url=http://empty.test:{ok}/", MOCK,
      got('http://empty.test:{ok}/', 'empty.test', '{ok}', '/', 'unresolved')),
    # Answers.
    R("204: literal", "action=http&url=http://127.0.0.1:{ok}/", MOCK,
      got('http://127.0.0.1:{ok}/', '127.0.0.1', '{ok}', '/', '204')),
    R("204: escaped url", "action=http&url=http%3A%2F%2F127.0.0.1%3A{ok}%2F", MOCK,
      got('http://127.0.0.1:{ok}/', '127.0.0.1', '{ok}', '/', '204')),
    R("204: name, path, query and fragment", "action=http&url=http://alpha.test:{ok}/a/b?x=1#top",
      MOCK, got('http://alpha.test:{ok}/a/b?x=1#top', 'alpha.test', '{ok}', '/a/b', '204')),
    R("204: user", "action=http&url=http://u@alpha.test:{ok}", MOCK,
      got('http://u@alpha.test:{ok}', 'alpha.test', '{ok}', '/', '204')),
    R("204: the last @ ends the user", "action=http&url=http://a@b@127.0.0.1:{ok}/p", MOCK,
      got('http://a@b@127.0.0.1:{ok}/p', '127.0.0.1', '{ok}', '/p', '204')),
    R("204: mixed-case name kept", "action=http&url=http://Mixed.Test:{ok}/M", MOCK,
      got('http://Mixed.Test:{ok}/M', 'Mixed.Test', '{ok}', '/M', '204')),
    R("204: query without a path", "action=http&url=http://127.0.0.1:{ok}?x=1", MOCK,
      got('http://127.0.0.1:{ok}?x=1', '127.0.0.1', '{ok}', '/', '204')),
    R("204: fragment without a path", "action=http&url=http://127.0.0.1:{ok}#f", MOCK,
      got('http://127.0.0.1:{ok}#f', '127.0.0.1', '{ok}', '/', '204')),
    R("204: port of 15 digits", "action=http&url=http://127.0.0.1:0000000000{ok}/", MOCK,
      got('http://127.0.0.1:0000000000{ok}/', '127.0.0.1', '{ok}', '/', '204')),
    R("204: path of 255 bytes", "action=http&url=http://127.0.0.1:{ok}/" + "p" * 254, MOCK,
      got("http://127.0.0.1:{ok}/" + "p" * 254, "127.0.0.1", "{ok}", "/" + "p" * 254, "204")),
    R("204: path of 256 bytes", "action=http&url=http://127.0.0.1:{ok}/" + "p" * 255, MOCK,
      got("http://127.0.0.1:{ok}/" + "p" * 255, "127.0.0.1", "{ok}", "/" + "p" * 254, "204")),
    R("204: path of 301 bytes and a query",
      "action=http&url=http://127.0.0.1:{ok}/" + "p" * 300 + "?q", MOCK,
      got("http://127.0.0.1:{ok}/" + "p" * 300 + "?q", "127.0.0.1", "{ok}", "/" + "p" * 254,
          "204")),
    R("204: escapes in the path", "action=http&url=http://127.0.0.1:{ok}/a%20b/%C3%A9/%01%7f",
      MOCK,
      got('http://127.0.0.1:{ok}/a b/é/\\u0001\x7f', '127.0.0.1', '{ok}', '/a%20b/%C3%A9/%01%7F',
            '204')),
    R("204: quote and backslash", "action=http&url=http://127.0.0.1:{ok}/a b\"c\\d", MOCK,
      got('http://127.0.0.1:{ok}/a b\\"c\\\\d', '127.0.0.1', '{ok}', '/a%20b\\"c\\\\d', '204')),
    R("204: first of two", "action=http&url=http://pair.test:{ok}/", MOCK,
      got('http://pair.test:{ok}/', 'pair.test', '{ok}', '/', '204')),
    R("204: localhost from the table", "action=http&url=http://localhost:{ok}/", MOCK,
      got('http://localhost:{ok}/', 'localhost', '{ok}', '/', '204')),
    R("refused: v6.test gives ::1, which refuses", "action=http&url=http://v6.test:{ok}/", MOCK,
      got('http://v6.test:{ok}/', 'v6.test', '{ok}', '/', 'refused')),
    R("redirect", "action=http&url=http://127.0.0.1:{redirect}/", MOCK,
      got('http://127.0.0.1:{redirect}/', '127.0.0.1', '{redirect}', '/', '301')),
    R("redirect: escaped url", "action=http&url=http%3A%2F%2Falpha.test%3A{redirect}%2Fa", MOCK,
      got('http://alpha.test:{redirect}/a', 'alpha.test', '{redirect}', '/a', '301')),
    R("bare line ends", "action=http&url=http://127.0.0.1:{barelf}/", MOCK,
      got('http://127.0.0.1:{barelf}/', '127.0.0.1', '{barelf}', '/', 'bare')),
    R("bare line ends: user", "action=http&url=http://u@alpha.test:{barelf}", MOCK,
      got('http://u@alpha.test:{barelf}', 'alpha.test', '{barelf}', '/', 'bare')),
    R("banner", "action=http&url=http://127.0.0.1:{banner}/", MOCK,
      got('http://127.0.0.1:{banner}/', '127.0.0.1', '{banner}', '/', 'no answer')),
    R("refused: [::1], where the banner does not listen", "action=http&url=http://[::1]:{banner}/",
      MOCK,
      got('http://[::1]:{banner}/', '[::1]', '{banner}', '/', 'refused')),
    R("accept and close", "action=http&url=http://Mixed.Test:{listener}/M", MOCK,
      got('http://Mixed.Test:{listener}/M', 'Mixed.Test', '{listener}', '/M', 'no answer')),
    R("flood", "action=http&url=http://127.0.0.1:{flood}/", MOCK,
      got('http://127.0.0.1:{flood}/', '127.0.0.1', '{flood}', '/', 'flood')),
    R("closed", "action=http&url=http://127.0.0.1:{closed}/", MOCK,
      got('http://127.0.0.1:{closed}/', '127.0.0.1', '{closed}', '/', 'refused')),
    R("closed: name", "action=http&url=http://alpha.test:{closed}/a/b?x=1#top", MOCK,
      got('http://alpha.test:{closed}/a/b?x=1#top', 'alpha.test', '{closed}', '/a/b', 'refused')),
    R("https: open", "action=http&url=https://127.0.0.1:{listener}/", MOCK,
      got('https://127.0.0.1:{listener}/', '127.0.0.1', '{listener}', '/', 'tls open',
            tls='"not_checked"')),
    R("https: closed", "action=http&url=https://alpha.test:{closed}/x", MOCK,
      got('https://alpha.test:{closed}/x', 'alpha.test', '{closed}', '/x', 'tls refused',
            tls='"not_checked"')),
    R("https: no path", "action=http&url=https://127.0.0.1:{listener}", MOCK,
      got('https://127.0.0.1:{listener}', '127.0.0.1', '{listener}', '/', 'tls open',
            tls='"not_checked"')),
    # The 1024-byte url buffer: raw values below, at and above 1023 bytes.
    R("capacity: 1022 bytes", "action=http&url=" + sized("", 1022), MOCK,
      capacity(URL + "u" * 999)),
    R("capacity: 1023 bytes", "action=http&url=" + sized("", 1023), MOCK,
      capacity(URL + "u" * 1000)),
    R("capacity: 1024 bytes", "action=http&url=" + sized("", 1024), MOCK,
      capacity(URL + "u" * 1000)),
    R("capacity: escape in 1022 bytes", "action=http&url=" + sized("%41", 1022), MOCK,
      capacity(URL + "u" * 996 + "A")),
    R("capacity: escape cut in 1024 bytes", "action=http&url=" + sized("%41", 1024), MOCK,
      capacity(URL + "u" * 998 + "%4")),
]
