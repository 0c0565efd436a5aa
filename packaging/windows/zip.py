"""Writes the Windows release archive so that two builds of one commit give
the same bytes: entries in name order, each with the source date, mode 0755
for folders and the .exe and 0644 for the rest, and no owner.
    python3 zip.py OUT.zip STAGING_DIR EPOCH"""
import os
import sys
import time
import zipfile


def entries(root):
    found = []
    for folder, _, files in os.walk(root):
        rel = os.path.relpath(folder, root)
        prefix = "" if rel == "." else rel.replace(os.sep, "/") + "/"
        if prefix:
            found.append(prefix)
        found += [prefix + f for f in files]
    return sorted(found)


def main(out, root, epoch):
    seconds = int(epoch) if epoch else int(time.time())
    stamp = time.gmtime(max(seconds, 315532800))[:6]  # zip dates start in 1980
    with zipfile.ZipFile(out, "w") as archive:
        for name in entries(root):
            info = zipfile.ZipInfo(name, stamp)
            info.create_system = 3  # Unix, so that the mode below is kept
            if name.endswith("/"):
                info.external_attr = (0o40755 << 16) | 0x10
                archive.writestr(info, b"")
                continue
            mode = 0o755 if name.endswith(".exe") else 0o644
            info.external_attr = (0o100000 | mode) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            with open(os.path.join(root, name), "rb") as f:
                archive.writestr(info, f.read(), compresslevel=9)


if __name__ == "__main__":
    main(*sys.argv[1:])
