"""The one oracle every reply passes: its schema (docs/api), its status
line, and what a schema cannot say (each count is its list's length, no
key twice, strict numbers)."""
import json
import os
import re

import jsonschema

from .targets import ROOT

JSON_HEAD = (b"Content-Type: application/json; charset=utf-8\r\n"
             b"Cache-Control: no-store\r\n"
             b"X-Content-Type-Options: nosniff\r\n\r\n")
META = b'{"name":"tarvik","desc":"Net checks"}\n'
REFUSAL = (b"Status: 401 Unauthorized\r\n" + JSON_HEAD +
           b'{"ok":false,"error":"invalid node password"}\n')


SCHEMA_DIR = os.path.join(ROOT, "docs", "api")
KINDS = ("info", "ifaces", "dns", "tcp", "http", "error")
COUNTED = {"ifaces": [("count", "interfaces"), ("nameserver_count", "nameservers")],
           "dns": [("count", "results")]}
_validators = {}
_schemas = {}
# A JSON string, so that what lies between strings can be told apart.
STRING = re.compile(r'"(?:[^"\\]|\\.)*"')


def _is_integer(checker, instance):
    # Integers are written with %d or %lld: 3.0 and 3e3 are floats, however
    # whole their value, and no integer of these documents.
    return isinstance(instance, int) and not isinstance(instance, bool)


def _no_float_for(keyword):
    """The keyword as the draft has it, but refusing a float where the
    schema names only integers (const 3000 is not met by 3000.0)."""
    plain = jsonschema.Draft202012Validator.VALIDATORS[keyword]

    def check(validator, value, instance, schema):
        allowed = value if keyword == "enum" else [value]
        if isinstance(instance, float) and not any(isinstance(v, float) for v in allowed):
            yield jsonschema.ValidationError("%r is a float, not %r" % (instance, value))
        else:
            yield from plain(validator, value, instance, schema)
    return check


StrictValidator = jsonschema.validators.extend(
    jsonschema.Draft202012Validator,
    validators={"const": _no_float_for("const"), "enum": _no_float_for("enum")},
    type_checker=jsonschema.Draft202012Validator.TYPE_CHECKER.redefine("integer", _is_integer))


def _schema(kind):
    if kind not in _schemas:
        with open(os.path.join(SCHEMA_DIR, kind + ".schema.json"), encoding="utf-8") as f:
            _schemas[kind] = json.load(f)
    return _schemas[kind]


def validator(kind):
    """The Draft 2020-12 validator of one document kind, read once from
    docs/api, with integers taken strictly."""
    if kind not in _validators:
        schema = _schema(kind)
        jsonschema.Draft202012Validator.check_schema(schema)
        _validators[kind] = StrictValidator(schema)
    return _validators[kind]


def kind_of(doc):
    """The schema a parsed document answers to: error when ok is false, else
    its action, else info."""
    if isinstance(doc, dict):
        if doc.get("ok") is False:
            return "error"
        if doc.get("action") in KINDS:
            return doc["action"]
    return "info"


def _no_constant(name):
    raise ValueError("%s is no JSON number" % name)


def _no_negative_zero(parse):
    """parse, refusing -0 and -0.0: the C library writes those only for a
    negative value that its format rounded away."""
    def number(text):
        value = parse(text)
        if value == 0 and text.startswith("-"):
            raise ValueError("negative zero: %s" % text)
        return value
    return number


def _unique_keys(pairs):
    doc = dict(pairs)
    if len(doc) != len(pairs):
        raise ValueError("a key appears twice: %r" % [k for k, _ in pairs])
    return doc


def _resolve(schema, root):
    ref = schema.get("$ref", "")
    return root["$defs"][ref[len("#/$defs/"):]] if ref.startswith("#/$defs/") else schema


def _order_errors(node, schema, root, path="(document)"):
    """Where an object's keys leave the order its schema's x-keyOrder gives,
    at any depth."""
    schema = _resolve(schema, root)
    errors = []
    if isinstance(node, dict):
        order = schema.get("x-keyOrder")
        if order:
            ranks = [order.index(k) for k in node if k in order]
            if ranks != sorted(ranks):
                errors.append("%s: keys %s, not in the order %s" % (path, list(node), order))
        for key, value in node.items():
            sub = schema.get("properties", {}).get(key)
            if sub is not None:
                errors += _order_errors(value, sub, root, "%s/%s" % (path, key))
    elif isinstance(node, list) and isinstance(schema.get("items"), dict):
        for i, value in enumerate(node):
            errors += _order_errors(value, schema["items"], root, "%s/%d" % (path, i))
    return errors


def line_end(doc, kind):
    """What follows the closing brace: the schema's x-lineEnd, or that of
    the one branch of its oneOf (in allOf) that the document meets; None
    for a document that meets none."""
    schema = _schema(kind)
    if "x-lineEnd" in schema:
        return schema["x-lineEnd"]
    for part in schema.get("allOf", ()):
        for branch in part.get("oneOf", ()):
            if "x-lineEnd" in branch and StrictValidator(branch).is_valid(doc):
                return branch["x-lineEnd"]
    return None


def layout_errors(text, doc, kind):
    """What a schema's keywords cannot check: the key order (x-keyOrder),
    no white space between tokens, and the line end (x-lineEnd)."""
    errors = _order_errors(doc, _schema(kind), _schema(kind))
    end = line_end(doc, kind)
    if end is None:
        errors.append("(document): meets no branch that gives its line end")
    elif not text.endswith("}" + end):
        errors.append("(document): ends %r, not the brace and %r" % (text[-3:], end))
    elif re.search(r"\s", STRING.sub("", text[:len(text) - len(end)])):
        errors.append("(document): white space between tokens")
    return errors


def written(doc, kind=None):
    """doc as the plug-in writes it: compact, keys as given, with the line
    end its schema calls for."""
    return json.dumps(doc, separators=(",", ":")) + (line_end(doc, kind or kind_of(doc)) or "")


def validated(body, kind=None):
    """Parses one JSON document (bytes or str), checks it against its schema
    (kind None: deduced from the document), that no key appears twice, that
    each count matches its list, and its layout (key order, no white space,
    line end), and returns the parsed dict. Raises AssertionError naming
    every violation."""
    # Texts pass through byte for byte, so a body need not be UTF-8.
    text = body.decode("utf-8", "surrogateescape") if isinstance(body, (bytes, bytearray)) else body
    try:
        doc = json.loads(text, object_pairs_hook=_unique_keys, parse_constant=_no_constant,
                         parse_float=_no_negative_zero(float), parse_int=_no_negative_zero(int))
    except ValueError as e:
        raise AssertionError("not a JSON document (%s): %r" % (e, text[:300])) from None
    kind = kind or kind_of(doc)
    errors = sorted(validator(kind).iter_errors(doc), key=lambda e: list(e.absolute_path))
    lines = ["%s: %s" % ("/".join(map(str, e.absolute_path)) or "(document)", e.message)
             for e in errors]
    if not errors:
        # What a schema cannot say: each count is the length of its list.
        for count, items in COUNTED.get(kind, ()):
            if doc[count] != len(doc[items]):
                lines.append("%s: %r, but %s holds %d" % (count, doc[count], items, len(doc[items])))
        lines += layout_errors(text, doc, kind)
    if lines:
        raise AssertionError("%s document breaks %s.schema.json:\n  %s\n%s"
                             % (kind, kind, "\n  ".join(lines), text[:600]))
    return doc


def json_reply(out):
    """The document of one whole CGI reply whose header block says JSON,
    validated, with its status line matching it (none for a document with
    ok true, 401 for the refusal, 400 for any other error). None for any
    other reply (the page, the meta line)."""
    head, sep, body = out.partition(b"\r\n\r\n")
    lines = head.split(b"\r\n")
    if not sep or b"Content-Type: application/json; charset=utf-8" not in lines:
        return None
    doc = validated(body)
    status = lines[0] if lines[0].startswith(b"Status:") else None
    if doc["ok"]:
        want = None
    elif doc["error"] == "invalid node password":
        want = b"Status: 401 Unauthorized"
    else:
        want = b"Status: 400 Bad Request"
    if status != want:
        raise AssertionError("status line %r with the document %r" % (status, body[:200]))
    return doc


