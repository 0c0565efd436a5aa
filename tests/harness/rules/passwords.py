"""The node password: its three sources (the X-Morv-Password header, an
Authorization bearer token, the query parameter pwd), compared as bytes; the
query parameter's capacity."""
from . import INFO, PAGE, REFUSAL, R, doc

PW = "S3cret pw"
ENC = "S3cret+pw"


def pw(secret=PW, **env):
    return dict(env, MORV_PASSWORD=secret)


ROWS = [
    R("no password given", "action=info", pw(), REFUSAL),
    R("no password, empty query", "", pw(), REFUSAL),
    R("no password, no query", None, pw(), REFUSAL, method="GET"),
    R("empty node password: no check", "action=info", pw(""), INFO),
    R("header", "action=info", pw(HTTP_X_MORV_PASSWORD=PW), INFO),
    R("header in lower case", "action=info", pw(HTTP_X_MORV_PASSWORD=PW.lower()), REFUSAL),
    R("header with a blank", "action=info", pw(HTTP_X_MORV_PASSWORD=PW + " "), REFUSAL),
    R("wrong header, right query", "action=info&pwd=" + ENC, pw(HTTP_X_MORV_PASSWORD="wrong"),
      INFO),
    R("bearer", "action=info", pw(HTTP_AUTHORIZATION="Bearer " + PW), INFO),
    R("bearer among blanks", "action=info", pw(HTTP_AUTHORIZATION="   Bearer   " + PW), INFO),
    R("authorization without bearer", "action=info", pw(HTTP_AUTHORIZATION=PW), INFO),
    R("bearer in lower case", "action=info", pw(HTTP_AUTHORIZATION="bearer " + PW), REFUSAL),
    R("bearer and a tab", "action=info", pw(HTTP_AUTHORIZATION="Bearer\t" + PW), REFUSAL),
    R("bearer with a blank after", "action=info", pw(HTTP_AUTHORIZATION="Bearer " + PW + " "),
      REFUSAL),
    R("tab before bearer", "action=info", pw(HTTP_AUTHORIZATION="\tBearer " + PW), REFUSAL),
    R("authorization: Basic", "action=info", pw(HTTP_AUTHORIZATION="Basic " + PW), REFUSAL),
    R("authorization: Bearer without a blank", "action=info",
      pw(HTTP_AUTHORIZATION="Bearer" + PW), REFUSAL),
    R("header holding a bearer token", "action=info", pw(HTTP_X_MORV_PASSWORD="Bearer " + PW),
      REFUSAL),
    R("other headers", "action=info", pw(HTTP_X_PASSWORD=PW, HTTP_COOKIE="pwd=" + ENC), REFUSAL),
    R("wrong sources before a right bearer", "action=info&pwd=wrong",
      pw(HTTP_X_MORV_PASSWORD="wrong", HTTP_AUTHORIZATION="Bearer " + PW), INFO),
    R("query PWD", "action=info&PWD=" + ENC, pw(), REFUSAL),
    R("query, plus", "action=info&pwd=" + ENC, pw(), INFO),
    R("query, %20", "action=info&pwd=S3cret%20pw", pw(), INFO),
    R("query first", "pwd=" + ENC + "&action=info", pw(), INFO, method="POST"),
    R("query in lower case", "action=info&pwd=s3cret+pw", pw(), REFUSAL),
    R("query xpwd", "action=info&xpwd=" + ENC, pw(), REFUSAL),
    R("query inside a value", "action=info&x=pwd=" + ENC, pw(), REFUSAL),
    R("query too short", "action=info&pwd=S3cret+p", pw(), REFUSAL),
    R("query too long", "action=info&pwd=S3cret+pwx", pw(), REFUSAL),
    R("query, page", "pwd=" + ENC, pw(), PAGE),
    R("query, dns", "action=dns&host=v6.test&pwd=" + ENC,
      pw(TARVIK_MOCK_DNS="v6.test=::1", TARVIK_MOCK_TIMEOUT="1"),
      doc(b'{"ok":true,"action":"dns","host":"v6.test","generated_at":"#","timeout_ms":3000,"res'
          b'olved":false,"timeout":true,"code":null,"latency_ms":#,"results":[],"count":0}')),
    # Non-ASCII passwords compare as bytes: same length, other characters
    # never match, on either system.
    R("non-ASCII: question marks", "action=info",
      pw("\u5bc6\u7801", HTTP_X_MORV_PASSWORD="??"), REFUSAL),
    R("non-ASCII: other characters", "action=info",
      pw("\u5bc6\u7801", HTTP_X_MORV_PASSWORD="\u65e5\u672c"), REFUSAL),
    R("non-ASCII: other bearer", "action=info",
      pw("\u5bc6\u7801", HTTP_AUTHORIZATION="Bearer \u65e5\u672c"), REFUSAL),
    R("non-ASCII: header", "action=info",
      pw("\u5bc6\u7801", HTTP_X_MORV_PASSWORD="\u5bc6\u7801"), INFO),
    R("non-ASCII: query in UTF-8", "action=info&pwd=p%C3%A4sswort", pw("p\u00e4sswort"), INFO),
    R("non-ASCII: query in Latin-1", "action=info&pwd=p%E4sswort", pw("p\u00e4sswort"), REFUSAL),
    R("non-ASCII: bearer", "action=info",
      pw("p\u00e4sswort", HTTP_AUTHORIZATION="Bearer p\u00e4sswort"), INFO),
    # The query password's buffer: 255 raw bytes are kept, cut before
    # decoding, and an escape cut short stays as written.
    R("capacity: 254 bytes", "action=info&pwd=" + "p" * 254, pw("p" * 255), REFUSAL),
    R("capacity: 255 bytes", "action=info&pwd=" + "p" * 255, pw("p" * 255), INFO),
    R("capacity: 256 bytes", "action=info&pwd=" + "p" * 256, pw("p" * 255), INFO),
    R("capacity: 300 bytes", "action=info&pwd=" + "p" * 300, pw("p" * 300), REFUSAL),
    R("capacity: 300 bytes in the header", "action=info&pwd=" + "p" * 300,
      pw("p" * 300, HTTP_X_MORV_PASSWORD="p" * 300), INFO),
    R("capacity: escape cut short", "pwd=" + "p" * 253 + "%41&action=info",
      pw("p" * 253 + "%4"), INFO),
    R("capacity: escape whole", "pwd=" + "p" * 252 + "%41&action=info", pw("p" * 252 + "A"), INFO),
]
