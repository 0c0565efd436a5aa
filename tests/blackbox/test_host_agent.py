"""The plug-in behind a real CGI web server: statuses, routes and headers
arrive as a browser or the hub sees them."""
import unittest

import lighttpd
from tarvik import Case, main, validated

PW = "n0de pw"


@unittest.skipUnless(lighttpd.available(), "lighttpd is not installed")
class ThroughLighttpd(Case):
    @classmethod
    def setUpClass(cls):
        cls.open = lighttpd.Server()
        cls.locked = lighttpd.Server({"MORV_PASSWORD": PW})

    @classmethod
    def tearDownClass(cls):
        cls.open.stop()
        cls.locked.stop()

    def test_statuses(self):
        table = [
            (self.open, "/plugin_tarvik?action=info", [], 200, True),
            (self.open, "/plugin_tarvik?action=bogus", [], 400, False),
            (self.open, "/plugin_tarvik?action=dns", [], 400, False),
            (self.open, "/plugins?plugin=plugin_tarvik&action=info&node=alpha", [], 200, True),
            (self.locked, "/plugin_tarvik?action=info", [], 401, False),
            (self.locked, "/plugin_tarvik", [], 401, False),
            (self.locked, "/plugin_tarvik?action=info", ["-H", "X-Morv-Password: " + PW], 200, True),
            (self.locked, "/plugin_tarvik?action=info", ["-H", "Authorization: Bearer " + PW], 200, True),
            (self.locked, "/plugins?plugin=plugin_tarvik&action=info&pwd=n0de+pw", [], 200, True),
            (self.locked, "/plugin_tarvik?action=info", ["-H", "Authorization: Bearer x"], 401, False),
        ]
        for server, path, args, status, ok in table:
            with self.subTest(path=path, args=args):
                code, head, body = lighttpd.curl(server.base + path, *args)
                self.assertEqual(status, code)
                self.assertIn("Content-Type: application/json; charset=utf-8", head)
                doc = validated(body)
                self.assertEqual(ok, doc["ok"])
                if status == 401:
                    self.assertEqual("invalid node password", doc["error"])

    def test_page_headers(self):
        code, head, body = lighttpd.curl(self.open.base + "/plugin_tarvik")
        self.assertEqual(200, code)
        self.assertIn("X-Frame-Options: SAMEORIGIN", head)
        self.assertIn("Content-Security-Policy: default-src 'none';", head)
        self.assertTrue(body.endswith(b"</body></html>\n"))

    def test_post_gets_json(self):
        code, _, body = lighttpd.curl(self.open.base + "/plugin_tarvik", "-X", "POST",
                                      "--data", "action=dns")
        self.assertEqual(200, code)
        self.assertIn("plugin", validated(body))


if __name__ == "__main__":
    main()
