"""Starts one front in front of the plug-in, and scripted peers, for a test
that is not written in Python (the browser tests):

  python3 -m harness.stand [--front lighttpd|apache|nginx|none] [--exe EXE]
                           [--env NAME=VALUE]... [--peer NAME=KIND[+SECONDS][:ARG]]...

It prints one JSON line, {"base", "port", "peers": {NAME: port}, "closed"}
(closed: a port with nothing behind it), then one line {"peer", "received"}
as each connection to a peer ends, and stays up until its standard input
closes or it gets SIGTERM; every way out stops the front and the peers.

The front hands the plug-in only the hook variables given with --env. EXE
is started as it is (by default the target's executable, through its
launcher). KIND is close (the default), answer, hold, banner, drip, reset,
flood or full (see harness.peers); ARG, with backslash escapes such as \\r\\n,
is the answer, the banner or the flood's prefix; SECONDS delays an answer.
"""
import argparse
import codecs
import json
import signal
import sys
import threading

from . import fronts, peers

SCRIPTS = {"hold": peers.hold, "banner": peers.banner, "drip": peers.drip,
           "flood": peers.flood}
FIXED = {"close": None, "reset": peers.reset, "full": peers.FULL}


def peer_arg(text):
    """NAME=KIND[+SECONDS][:ARG] -> (name, script)."""
    name, _, script = text.partition("=")
    kind, _, arg = script.partition(":")
    kind, _, delay = kind.partition("+")
    try:
        data = codecs.decode(arg, "unicode_escape").encode("latin-1")
        if kind == "answer":
            return name, peers.answer(data, float(delay or 0))
        if not delay and kind in FIXED:
            return name, FIXED[kind]
        if not delay:
            return name, SCRIPTS[kind](data)
    except (KeyError, ValueError):
        pass
    raise argparse.ArgumentTypeError("not a peer: %r" % text)


def env_pair(text):
    name, eq, value = text.partition("=")
    if not eq:
        raise argparse.ArgumentTypeError("not NAME=VALUE: %r" % text)
    return name, value


def main(argv=None):
    ap = argparse.ArgumentParser(prog="python3 -m harness.stand")
    ap.add_argument("--front", default="lighttpd", choices=sorted(fronts.BY_NAME) + ["none"])
    ap.add_argument("--exe")
    ap.add_argument("--env", type=env_pair, action="append", default=[])
    ap.add_argument("--peer", type=peer_arg, action="append", default=[])
    args = ap.parse_args(argv)
    lock = threading.Lock()

    def say(obj):
        with lock:
            try:
                sys.stdout.write(json.dumps(obj) + "\n")
                sys.stdout.flush()
            except OSError:
                pass  # the caller has gone; its closed input stops this too

    def ended(name):
        return lambda got: say({"peer": name, "received": got.decode("latin-1")})

    # SIGTERM and SIGHUP end the wait below and take the one way out; one
    # that comes while the front starts or stops is acted on after that.
    waiting, asked = [False], []

    def on_signal(*_):
        asked.append(True)
        if waiting[0]:
            waiting[0] = False
            raise SystemExit(143)

    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, on_signal)
    started, server = [], None
    try:
        for name, script in args.peer:
            started.append((name, peers.Peer(script, on_end=ended(name))))
        if args.front != "none":
            server = fronts.Server(dict(args.env), exe=args.exe,
                                   front=fronts.BY_NAME[args.front])
        say({"base": server and server.base, "port": server and server.port,
             "peers": {name: p.port for name, p in started}, "closed": peers.closed_port()})
        waiting[0] = not asked
        if waiting[0]:
            sys.stdin.buffer.read()
    finally:
        waiting[0] = False
        if server:
            server.stop()
        for _, p in started:
            p.close()
    return 143 if asked else 0


if __name__ == "__main__":
    sys.exit(main())
