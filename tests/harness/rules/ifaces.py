"""The ifaces action over the mock interface table: entries split at commas
and fields at bars, short entries, the sixth field, entries skipped, the
address and netmask parsing, the loopback rule, the text capacities and the
row cap. The name servers are the machine's own and masked."""
import json

from . import R, doc


def iface(name, address, family=4, netmask=None, broadcast=None, loopback=False, up=False):
    return {"name": name, "address": address, "family": family, "netmask": netmask,
            "broadcast": broadcast, "loopback": loopback, "up": up, "running": up}


def listed(*rows):
    return doc(b'{"ok":true,"action":"ifaces","generated_at":"#","count":%d,"interfaces":%s,'
               b'"nameservers":#,"nameserver_count":#}'
               % (len(rows), json.dumps(list(rows), separators=(",", ":"),
                                        ensure_ascii=False).encode()))


def mock(value):
    return {"TARVIK_MOCK_IFACES": value}


ROWS = [
    R("empty", "action=ifaces", mock(""), listed()),
    R("empty entries", "action=ifaces", mock(",,"), listed()),
    R("loopback", "action=IFACES", mock("lo|127.0.0.1|255.0.0.0||x|1"),
      listed(iface('lo', '127.0.0.1', netmask='255.0.0.0', loopback=True, up=True))),
    R("short: two fields", "action=ifaces&x=1", mock("eth|192.0.2.5"),
      listed(iface('eth', '192.0.2.5'))),
    R("short: three fields", "action=ifaces", mock("eth|192.0.2.5|255.255.255.0"),
      listed(iface('eth', '192.0.2.5', netmask='255.255.255.0'))),
    R("short: empty name", "action=%69faces", mock("|192.0.2.5||||1"),
      listed(iface('', '192.0.2.5', up=True))),
    R("sixth field to the end", "action=ifaces",
      mock("a|192.0.2.5|255.255.255.0|192.0.2.255|x|1|more|bars"),
      listed(iface('a', '192.0.2.5', netmask='255.255.255.0', broadcast='192.0.2.255', up=True))),
    R("state 10", "action=ifaces", mock("a|192.0.2.5||||10"),
      listed(iface('a', '192.0.2.5', up=True))),
    R("state with a blank", "action=ifaces", mock("a|192.0.2.5|||| 1"),
      listed(iface('a', '192.0.2.5'))),
    R("state 0", "action=ifaces", mock("a|192.0.2.5||||0"), listed(iface('a', '192.0.2.5'))),
    R("state in the fifth field", "action=ifaces", mock("a|192.0.2.5|||1|"),
      listed(iface('a', '192.0.2.5'))),
    R("state x", "action=ifaces", mock("a|192.0.2.5||||x"), listed(iface('a', '192.0.2.5')),
      method="POST"),
    R("skipped entries", "action=ifaces", mock("s| 192.0.2.1||||1,e||||x|1,x|bogus,ok|192.0.2.9"),
      listed(iface('ok', '192.0.2.9'))),
    R("empty entries around", "action=ifaces", mock(",,lo|127.0.0.1,,"),
      listed(iface('lo', '127.0.0.1', loopback=True))),
    R("IPv6: netmask ignored", "action=ifaces",
      mock("v6|2001:db8::1|255.255.255.0|2001:db8::ff|x|1"),
      listed(iface('v6', '2001:db8::1', family=6, broadcast='2001:db8::ff', up=True))),
    R("addresses as written", "action=ifaces",
      mock("n|2001:DB8:0:0::1,L|0:0:0:0:0:0:0:1,l6|::1,l4|127.9.8.7"),
      listed(iface('n', '2001:DB8:0:0::1', family=6), iface('L', '0:0:0:0:0:0:0:1', family=6),
            iface('l6', '::1', family=6, loopback=True), iface('l4', '127.9.8.7', loopback=True))),
    R("addresses: forms refused", "action=ifaces",
      mock("a|1.2.3.04,b|01.2.3.4,c|1.2.3,d|256.1.1.1,e|1::2::3,f|1.2.3.4 ,g|fe80::1%1,"
           "h|0x7f.0.0.1,i|127.1,j|1:2:3:4:5:6:7:8:9"), listed()),
    R("addresses: forms taken", "action=ifaces",
      mock("a|::,b|1:2:3:4:5:6:7:8,c|::1.2.3.4,d|::FFFF:127.0.0.1,e|1:2:3:4:5:6:1.2.3.4,"
           "f|2001:db8::1:0:0:1,g|fe80::1,h|::ffff:192.0.2.1,i|10.0.0.1"),
      listed(*[iface(n, a, family=6) for n, a in zip("abcdefgh", [
          "::", "1:2:3:4:5:6:7:8", "::1.2.3.4", "::FFFF:127.0.0.1", "1:2:3:4:5:6:1.2.3.4",
          "2001:db8::1:0:0:1", "fe80::1", "::ffff:192.0.2.1"])], iface("i", "10.0.0.1"))),
    R("netmasks parsed, never judged", "action=ifaces",
      mock("m|192.0.2.1|255.0.255.0,m|192.0.2.2|255.255.255.256,m|192.0.2.3| 255.0.0.0,"
           "m|192.0.2.4|0.0.0.0,m|192.0.2.5|255.255.255.255,m|192.0.2.6|0255.0.0.0,"
           "m|192.0.2.7|255.255.255.0 ,m|192.0.2.8|1.2.3.4.5"),
      listed(iface('m', '192.0.2.1', netmask='255.0.255.0'), iface('m', '192.0.2.2'), iface('m',
            '192.0.2.3'), iface('m', '192.0.2.4', netmask='0.0.0.0'), iface('m', '192.0.2.5',
            netmask='255.255.255.255'), iface('m', '192.0.2.6'), iface('m', '192.0.2.7'),
            iface('m', '192.0.2.8'))),
    R("broadcast copied unchecked", "action=ifaces", mock("b|192.0.2.1||not an address|x|1"),
      listed(iface('b', '192.0.2.1', broadcast='not an address', up=True))),
    R("broadcast: non-ASCII and a backslash", "action=ifaces",
      mock("b|192.0.2.1||\u00e9\u00e9,c|192.0.2.2||\\x"),
      listed(iface("b", "192.0.2.1", broadcast="\u00e9\u00e9"),
             iface("c", "192.0.2.2", broadcast="\\x"))),
    R("names: quotes, tabs, control bytes, markup", "action=ifaces",
      mock('q"uote\\back|192.0.2.1,tab\there|192.0.2.2,\x01ctl\x1f|192.0.2.3,<script>|::1,'
           '\x7f|127.0.0.1,\u00e9-adapter|192.0.2.4,Ethernet 2|192.0.2.5'),
      listed(iface('q"uote\\back', "192.0.2.1"), iface("tab\there", "192.0.2.2"),
             iface("\x01ctl\x1f", "192.0.2.3"), iface("<script>", "::1", family=6, loopback=True),
             iface("\x7f", "127.0.0.1", loopback=True), iface("\u00e9-adapter", "192.0.2.4"),
             iface("Ethernet 2", "192.0.2.5"))),
    # Text capacities: 63 bytes of a name or broadcast are kept, and an
    # entry is cut at 255 bytes.
    R("capacity: names of 62 to 70 bytes", "action=ifaces",
      mock(",".join("%s|192.0.2.1" % ("n" * n) for n in (62, 63, 64, 65, 70))),
      listed(*[iface("n" * min(n, 63), "192.0.2.1") for n in (62, 63, 64, 65, 70)])),
    R("capacity: broadcasts of 63 to 70 bytes", "action=ifaces",
      mock(",".join("b|192.0.2.1||%s" % ("b" * n) for n in (63, 64, 70))),
      listed(*[iface("b", "192.0.2.1", broadcast="b" * 63)] * 3)),
    R("capacity: entry cut", "action=ifaces", mock("cut|192.0.2.7||" + "b" * 300 + "|x|1"),
      listed(iface("cut", "192.0.2.7", broadcast="b" * 63))),
    R("capacity: entry of 255 bytes", "action=ifaces", mock("x" * 254 + "|"), listed()),
    R("capacity: empty fields", "action=ifaces", mock("a|192.0.2.1|" + "|" * 10),
      listed(iface('a', '192.0.2.1'))),
    R("capacity: 128 of 130 rows", "action=ifaces",
      mock(",".join("e%d|192.0.2.%d||||1" % (i, i % 250 + 1) for i in range(130))),
      listed(*[iface("e%d" % i, "192.0.2.%d" % (i + 1), up=True) for i in range(128)])),
]
