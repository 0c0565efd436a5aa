"""The oracle every reply passes (harness.oracle): each schema accepts a real
document and refuses copies of it that break one rule, the layout included.
The schemas are the same files for every build, so this runs once, against
the native build."""
import copy

from harness import Case, main, peers, validated
from harness.oracle import written


class SchemasRefuseBrokenCopies(Case):
    """Each schema accepts a real document and refuses copies of it with a
    key removed, a key added, ok flipped or a count that is off. The http
    rows cover its five tails; keys that belong to another tail are refused
    too."""

    TAIL_KEYS = {"note": "tcp connect failed", "read_ms": 0, "headers_complete": True,
                 "redirect": "not_followed",
                 "tls_note": "no TLS library: only the TCP connect to 443 was attempted"}

    def refused(self, doc, kind, what):
        text = doc if isinstance(doc, str) else written(doc, kind)
        for k in (kind, None):
            with self.assertRaises(AssertionError, msg="%s (%s) accepted: %s" % (what, k, text)):
                validated(text, k)

    def test_table(self):
        mock = {"TARVIK_MOCK_DNS": "s.test=192.0.2.1,2001:db8::1;gone.test=",
                "TARVIK_MOCK_IFACES": "lo|127.0.0.1|255.0.0.0||x|1,e|fd00::2|||x|0"}
        redirect = peers.Peer(peers.answer(b"HTTP/1.1 301 Moved\r\nLocation: /x\r\n\r\n"))
        listener = peers.Peer()
        closed = peers.closed_port()
        try:
            table = [
                # kind, query, env, what the document's tail says
                ("info", "action=info", {}, None),
                ("ifaces", "action=ifaces", {}, None),
                ("dns", "action=dns&host=s.test", {}, None),
                ("tcp", "action=tcp&host=127.0.0.1&port=%d" % listener.port, {}, None),
                ("error", "action=tcp&host=s.test", {}, None),
                ("error", "action=info", {"MORV_PASSWORD": "pw"}, None),
                ("http", "action=http&url=http://s.test/", {"TARVIK_MOCK_TIMEOUT": "1"},
                 "dns resolution timed out"),
                ("http", "action=http&url=http://gone.test/", {}, "host does not resolve"),
                ("http", "action=http&url=https://127.0.0.1:%d/" % closed, {}, "tcp connect failed"),
                ("http", "action=http&url=https://127.0.0.1:%d/" % listener.port, {},
                 "tcp connect succeeded; the TLS handshake was not attempted"),
                ("http", "action=http&url=http://127.0.0.1:%d/" % redirect.port, {}, None),
            ]
            for kind, query, env, note in table:
                with self.subTest(query=query, env=env):
                    real = validated(self.call(query, env=dict(mock, **env)).body, kind)
                    self.assertEqual(note, real.get("note"))
                    # The layout: two keys swapped, a space between tokens,
                    # the other line end.
                    keys = list(real)
                    self.refused(dict([(keys[1], real[keys[1]]), (keys[0], real[keys[0]])] +
                                      list(real.items())[2:]), kind, "keys swapped")
                    text = written(real, kind)
                    self.refused(text.replace(",", ", ", 1), kind, "a space between tokens")
                    self.refused(text[:-1] if text.endswith("\n") else text + "\n", kind,
                                 "the other line end")
                    if nested_keys := (real.get("interfaces") or real.get("results") or [None])[0]:
                        swapped = dict(reversed(list(nested_keys.items())))
                        items = "interfaces" if "interfaces" in real else "results"
                        self.refused(dict(real, **{items: [swapped] + real[items][1:]}), kind,
                                     "an item's keys reversed")
                    for key in real:
                        broken = copy.deepcopy(real)
                        del broken[key]
                        self.refused(broken, kind, "without " + key)
                    nested = (real.get("interfaces") or real.get("results") or [])[:1]
                    for node in [real] + nested:
                        node["extra"] = 1
                        self.refused(real, kind, "with an extra key")
                        del node["extra"]
                    self.refused(dict(real, ok=not real["ok"]), kind, "ok flipped")
                    if "count" in real:
                        self.refused(dict(real, count=real["count"] + 1), kind, "count off")
                    # Numbers as a C format writes them and nothing else: no
                    # float for an integer, no NaN or Infinity, no -0.
                    key = next((k for k, v in real.items() if type(v) is int), None)
                    numbers = [(key, "%d.0" % real[key]), (key, "%de0" % real[key]),
                               (key, "NaN"), (key, "Infinity")] if key else []
                    if real.get("avg_ms") is not None:
                        numbers += [("avg_ms", "-0.00"), ("avg_ms", "NaN")]
                        self.refused(dict(real, samples=[None] * 3), kind, "open without a sample")
                    for key, number in numbers:
                        text = written(dict(real, **{key: "@"}), kind).replace('"@"', number)
                        self.refused(text, kind, "%s written as %s" % (key, number))
                    if kind == "http":
                        for key, value in self.TAIL_KEYS.items():
                            if key not in real:
                                self.refused(dict(real, **{key: value}), kind, "with " + key)
        finally:
            redirect.close()
            listener.close()


if __name__ == "__main__":
    main()
