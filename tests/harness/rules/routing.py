"""The meta probe and the routing of a request: the page, the info document,
a named action or the unknown-action error; the action buffer's capacity."""
from . import INFO, META, PAGE, R, doc, err

PW = "S3cret pw"


def sized(prefix, suffix, length, fill="x"):
    return prefix + fill * (length - len(prefix) - len(suffix)) + suffix


ROWS = [
    # The meta line alone, whatever else the request holds.
    R("meta: argument", "action=info", {}, META, args=["--meta"]),
    R("meta: argument, password set", None, {"MORV_PASSWORD": PW}, META, args=["--meta"]),
    R("meta: argument first", None, {"QUERY_STRING": "action=info"}, META, args=["--meta", "x"]),
    R("meta: variable 0", None, {"QV_PLUGIN_META": "0"}, META),
    R("meta: variable, password set", "", {"QV_PLUGIN_META": "1", "MORV_PASSWORD": "pw"}, META),
    # Not a meta probe.
    R("meta: --meta=1", "format=json", {}, INFO, args=["--meta=1"]),
    R("meta: --META", "format=json", {}, INFO, args=["--META"]),
    R("meta: --metadata", "format=json", {}, INFO, args=["--metadata"]),
    R("meta: argument second", "format=json", {}, INFO, args=["x", "--meta"]),
    R("meta: empty variable", "format=json", {"QV_PLUGIN_META": ""}, INFO),
    # The page.
    R("page: empty query", "", {}, PAGE),
    R("page: no query", None, {}, PAGE, method="GET"),
    R("page: other keys", "x=1", {}, PAGE, method="GET"),
    R("page: ACTION is not action", "ACTION=dns", {}, PAGE, method="HEAD"),
    R("page: lower-case post", "", {}, PAGE, method="post"),
    R("page: HEAD", "", {}, PAGE, method="HEAD"),
    R("page: DELETE", "theme=dark", {}, PAGE, method="DELETE"),
    R("page: OPTIONS", "theme=light&embed=1", {}, PAGE, method="OPTIONS"),
    R("page: format=jso", "format=jso", {}, PAGE),
    R("page: host agent keys", "node=n1&id=7&plugin=plugin_tarvik&pwd=abc", {}, PAGE),
    R("page: escaped key", "%61ction=info", {}, PAGE),
    # The info document.
    R("info: format=json", "format=json", {}, INFO, method="GET"),
    R("info: format=json anywhere", "x=1&format=jsonp", {}, INFO),
    R("info: xaction", "xaction=dns", {}, INFO),
    R("info: POST", "", {}, INFO, method="POST"),
    R("info: PUT, no query", None, {}, INFO, method="PUT"),
    R("page: lower-case put", "", {}, PAGE, method="put"),
    R("info: empty action", "action=", {}, INFO),
    R("info: action starts with a zero byte", "action=%00dns", {}, INFO),
    R("info: HEAD", "action=info", {}, INFO, method="HEAD"),
    R("info: upper case", "action=INFO", {}, INFO),
    R("info: escaped", "action=%69nfo", {}, INFO),
    R("info: escaped upper case", "action=%49%4E%46%4F", {}, INFO),
    R("info: first action wins", "action=info&action=dns", {}, INFO),
    R("info: empty first action", "action=&action=dns", {}, INFO),
    R("info: empty segment", "a=1&&action=info", {}, INFO),
    R("info: key without value", "action", {}, INFO, method="POST"),
    # Actions reach their handlers: each answers its own parameter error.
    R("route: ifaces mixed case", "action=IFaces", {"TARVIK_MOCK_IFACES": ""},
      doc(b'{"ok":true,"action":"ifaces","generated_at":"#","count":0,"interfaces":[],"nameserve'
          b'rs":#,"nameserver_count":#}')),
    R("route: DNS", "action=DNS", {}, err('host required')),
    R("route: escaped dns", "action=%64ns", {}, err('host required')),
    R("route: tcp", "action=tcp", {}, err('host required')),
    R("route: http", "action=http", {}, err('url required')),
    # Unknown actions.
    R("unknown: bogus", "action=bogus", {}, err('unknown action')),
    R("unknown: trailing space", "action=dns%20", {}, err('unknown action')),
    R("unknown: POST", "action=nope", {}, err('unknown action'), method="POST"),
    R("unknown: longer", "action=infox", {}, err('unknown action')),
    R("unknown: non-ASCII", "action=\u00e9", {}, err('unknown action')),
    R("unknown: byte 0xff", "action=%ff", {}, err('unknown action')),
    R("unknown: line feed", "action=in%0afo", {}, err('unknown action')),
    R("unknown: plus", "action=+info", {}, err('unknown action')),
    R("unknown: 70 bytes", "action=" + "i" * 70, {}, err('unknown action')),
] + [
    # The 64-byte action buffer: raw values below, at and above 63 bytes.
    R("capacity: info and a zero byte in %d raw bytes" % n, "action=" + sized("info%00", "", n),
      {}, INFO) for n in (62, 63, 64, 65)
] + [
    R("capacity: escape at the end of %d raw bytes" % n, "action=" + sized("", "%41", n), {},
      err("unknown action")) for n in (62, 63, 64, 65)
]
