"""Pins what wixl leaves to chance in an .msi's summary information: the
package code (a revision number wixl draws at random) and the creation and
last-saved times (wixl's clock). The stream is rewritten in place with the
same length, so nothing else in the file moves.
    python3 msi_summary.py FILE.msi {PACKAGE-CODE} EPOCH"""
import struct
import sys

import olefile

STREAM = "\x05SummaryInformation"
PID_REVNUMBER, PID_CREATE_DTM, PID_LASTSAVE_DTM = 9, 12, 13
VT_LPSTR, VT_FILETIME = 30, 64


def properties(data):
    """{pid: offset of its typed value} of the first property section."""
    section = struct.unpack_from("<I", data, 28 + 16)[0]
    count = struct.unpack_from("<I", data, section + 4)[0]
    found = {}
    for i in range(count):
        pid, offset = struct.unpack_from("<II", data, section + 8 + 8 * i)
        found[pid] = section + offset
    return found


def pin(data, package_code, epoch):
    data = bytearray(data)
    where = properties(data)
    kind, size = struct.unpack_from("<II", data, where[PID_REVNUMBER])
    code = package_code.upper().encode("ascii") + b"\0"
    if kind != VT_LPSTR or size != len(code):
        raise SystemExit("unexpected revision number in the summary information")
    data[where[PID_REVNUMBER] + 8:where[PID_REVNUMBER] + 8 + size] = code
    # FILETIME counts 100 ns steps since 1601-01-01.
    filetime = (int(epoch) + 11644473600) * 10000000
    for pid in (PID_CREATE_DTM, PID_LASTSAVE_DTM):
        if struct.unpack_from("<I", data, where[pid])[0] != VT_FILETIME:
            raise SystemExit("unexpected time in the summary information")
        struct.pack_into("<Q", data, where[pid] + 4, filetime)
    return bytes(data)


def main(path, package_code, epoch):
    with olefile.OleFileIO(path, write_mode=True) as ole:
        ole.write_stream(STREAM, pin(ole.openstream(STREAM).read(), package_code, epoch))


if __name__ == "__main__":
    main(*sys.argv[1:])
