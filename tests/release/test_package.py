"""The release package of one build tree, as an operator's review takes it:
what it holds, how the binary in it is hardened, that lintian accepts the
.deb and that it installs and purges cleanly, and that two more builds of
the same source, in other folders and at other times, give the same bytes.
CTest sets BUILD_DIR, KIND (deb or zip), CPACK, VERSION, EXE, SOURCE_DIR,
TOOLCHAIN and DEB_ARCH (both empty for a native build)."""
import gzip
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

BUILD_DIR = os.environ["BUILD_DIR"]
KIND = os.environ["KIND"]
CPACK = os.environ.get("CPACK") or "cpack"
VERSION = os.environ["VERSION"]
EXE = os.environ["EXE"]
SOURCE_DIR = os.environ["SOURCE_DIR"]
TOOLCHAIN = os.environ.get("TOOLCHAIN", "")
HOST_ARCH = subprocess.run(["dpkg", "--print-architecture"], capture_output=True,
                           text=True).stdout.strip()
DEB_ARCH = os.environ.get("DEB_ARCH") or HOST_ARCH

META = b'{"name":"tarvik","desc":"Net checks"}\n'
PLUGIN_DIR = "opt/tarvik/plugins/plugin_tarvik"
DOC_DIR = "usr/share/doc/tarvik"
# Every file the package holds, its mode, and where it comes from.
DEB_FILES = {
    PLUGIN_DIR + "/plugin_tarvik": (0o755, EXE),
    DOC_DIR + "/README.md": (0o644, os.path.join(SOURCE_DIR, "README.md")),
    DOC_DIR + "/changelog.gz": (0o644, None),
    DOC_DIR + "/copyright": (0o644, None),
    "usr/share/lintian/overrides/tarvik": (0o644, os.path.join(SOURCE_DIR, "packaging/deb/lintian-overrides")),
}
ZIP_FILES = {
    "plugin_tarvik/plugin_tarvik.exe": (0o755, EXE),
    "plugin_tarvik/README.md": (0o644, os.path.join(SOURCE_DIR, "README.md")),
    "plugin_tarvik/LICENSE": (0o644, os.path.join(SOURCE_DIR, "LICENSE")),
}
FILES = DEB_FILES if KIND == "deb" else ZIP_FILES
# What the .exe may import: the system's own DLLs.
SYSTEM_DLLS = {"kernel32.dll", "ws2_32.dll", "iphlpapi.dll", "msvcrt.dll", "advapi32.dll"}
# Windows 7, 8, 8.1, and 10 and 11.
SUPPORTED_OS = ("35138b9a-5d96-4fbd-8e2d-a2440225f93a", "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38",
                "1f676c76-80e1-4239-95bb-83d0f6d0da78", "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a")


def sh(*cmd, **kw):
    return subprocess.run(cmd, check=True, capture_output=True, **kw).stdout


def source_date():
    if os.environ.get("SOURCE_DATE_EPOCH"):
        return os.environ["SOURCE_DATE_EPOCH"]
    try:
        return sh("git", "-C", SOURCE_DIR, "log", "-1", "--format=%ct").decode().strip()
    except (OSError, subprocess.CalledProcessError):
        return ""


def make_package(build_dir, out):
    """cpack in build_dir, into out; the one package and SHA256SUMS."""
    shutil.rmtree(out, ignore_errors=True)
    sh(CPACK, "--config", os.path.join(build_dir, "CPackConfig.cmake"), "-B", out, cwd=build_dir)
    made = [f for f in os.listdir(out) if f.endswith("." + KIND)]
    assert len(made) == 1, made
    return os.path.join(out, made[0]), os.path.join(out, "SHA256SUMS")


def unpack(package, into):
    if KIND == "deb":
        sh("dpkg-deb", "-x", package, into)
    else:
        with zipfile.ZipFile(package) as z:
            z.extractall(into)


def listing(package):
    """{path: (mode, owner)} of every file in the package."""
    files = {}
    if KIND == "deb":
        for line in sh("dpkg-deb", "-c", package).decode().splitlines():
            perms, owner, _size, _date, _time, path = line.split(None, 5)
            if not perms.startswith("d"):
                files[path[2:]] = (perms, owner)
    else:
        with zipfile.ZipFile(package) as z:
            for info in z.infolist():
                if not info.is_dir():
                    files[info.filename] = (info.external_attr >> 16 & 0o777, None)
    return files


def mode_text(mode):
    return "-" + "".join(c if mode >> (8 - i) & 1 else "-" for i, c in enumerate("rwxrwxrwx"))


def read(path):
    with open(path, "rb") as f:
        return f.read()


PACKAGE, SUMS = make_package(BUILD_DIR, os.path.join(BUILD_DIR, "package-check"))
UNPACKED = tempfile.mkdtemp(prefix="tarvik-package-")
unpack(PACKAGE, UNPACKED)


class Contents(unittest.TestCase):
    def test_exactly_the_release_files_with_their_modes(self):
        want = {path: (mode_text(mode), "root/root") if KIND == "deb" else (mode, None)
                for path, (mode, _) in FILES.items()}
        self.assertEqual(want, listing(PACKAGE))

    def test_packed_files_are_the_built_ones(self):
        for path, (_, built) in FILES.items():
            if built:
                with self.subTest(path):
                    self.assertEqual(read(built), read(os.path.join(UNPACKED, path)))

    def test_sha256sums_names_the_package_with_its_sum(self):
        sums = read(SUMS).decode()
        self.assertEqual(1, len(sums.splitlines()), sums)
        self.assertTrue(sums.endswith("  " + os.path.basename(PACKAGE) + "\n"), sums)
        sh("sha256sum", "--check", "--strict", "SHA256SUMS", cwd=os.path.dirname(SUMS))


@unittest.skipUnless(KIND == "deb", "the .deb only")
class Debian(unittest.TestCase):
    def test_control_fields(self):
        fields = sh("dpkg-deb", "-f", PACKAGE).decode()
        for want in ("Package: tarvik", "Version: " + VERSION, "Architecture: " + DEB_ARCH):
            self.assertIn(want, fields)
        # The C library is the one dependency, at least as new as the newest
        # symbol version the executable takes from it.
        depends = re.search(r"^Depends: libc6 \(>= (\d+)\.(\d+)\)$", fields, re.M)
        self.assertTrue(depends, fields)
        needed = {tuple(map(int, v)) for v in re.findall(
            r"\bGLIBC_(\d+)\.(\d+)", sh("readelf", "-VW", EXE).decode())}
        self.assertGreaterEqual(tuple(map(int, depends.groups())), max(needed))
        maintainer = re.search(r"^Maintainer: (.*)$", fields, re.M).group(1)
        self.assertRegex(maintainer, r"^[^<>]+ <[^@<>\s]+@[a-z0-9-]+(\.[a-z0-9-]+)+>$")
        self.assertNotIn("localhost", maintainer)

    def test_copyright_is_machine_readable_apache(self):
        text = read(os.path.join(UNPACKED, DOC_DIR, "copyright")).decode()
        self.assertTrue(text.startswith(
            "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"))
        self.assertIn("\nFiles: *\n", text)
        self.assertIn("\nLicense: Apache-2.0\n", text)
        self.assertIn("/usr/share/common-licenses/Apache-2.0", text)

    def test_changelog_opens_with_this_version(self):
        text = gzip.decompress(read(os.path.join(UNPACKED, DOC_DIR, "changelog.gz"))).decode()
        self.assertTrue(text.startswith("tarvik (%s) unstable; urgency=medium\n" % VERSION), text)
        self.assertRegex(text, r"\n -- [^\n]+ <[^\n]+>  \w{3}, \d\d \w{3} \d{4} \d\d:\d\d:\d\d \+0000\n$")
        self.assertFalse([l for l in text.splitlines() if len(l) > 80])

    def test_every_override_carries_a_reason(self):
        lines = read(FILES["usr/share/lintian/overrides/tarvik"][1]).decode().splitlines()
        for i, line in enumerate(lines):
            if line and not line.startswith("#"):
                self.assertTrue(i > 0 and lines[i - 1].startswith("# "), line)

    @unittest.skipUnless(shutil.which("lintian"), "lintian is not installed")
    def test_lintian_reports_no_error_or_warning(self):
        out = subprocess.run(["lintian", PACKAGE], capture_output=True, text=True).stdout
        self.assertEqual([], [l for l in out.splitlines() if l[:2] in ("E:", "W:")], out)

    @unittest.skipUnless(os.geteuid() == 0, "installing a package needs root")
    @unittest.skipUnless(DEB_ARCH == HOST_ARCH, "an %s package does not install on this %s "
                         "machine (dpkg refuses a foreign architecture)" % (DEB_ARCH, HOST_ARCH))
    def test_installs_answers_the_probe_and_purges_without_a_trace(self):
        if subprocess.run(["dpkg", "-s", "tarvik"], capture_output=True).returncode == 0:
            self.skipTest("a tarvik package is installed on this machine already")
        try:
            sh("dpkg", "-i", PACKAGE)
            self.assertEqual(META, sh("/" + PLUGIN_DIR + "/plugin_tarvik", "--meta"))
        finally:
            subprocess.run(["dpkg", "-P", "tarvik"], capture_output=True)
        for path in FILES:
            self.assertFalse(os.path.exists("/" + path), path)
        self.assertFalse(os.path.exists("/opt/tarvik"))


def elf_claims():
    """What the README claims of the Linux executable, each as (claim, the
    text a readelf view of it must hold): (view, pattern)."""
    return [
        ("position-independent executable", ("-d", r"FLAGS_1\)\s+Flags: .*\bPIE\b")),
        ("bind-now", ("-d", r"\(BIND_NOW\)|FLAGS_1\)\s+Flags: .*\bNOW\b")),
        ("read-only relocations", ("-lW", r"\bGNU_RELRO\b")),
        ("non-executable stack", ("-lW", r"\bGNU_STACK(\s+0x[0-9a-f]+){5}\s+RW\s")),
        ("stack protector", ("--dyn-syms", r"\b__stack_chk_fail\b")),
        ("fortified C library calls", ("--dyn-syms", r"\b__\w+_chk@")),
    ]


class Hardening(unittest.TestCase):
    @unittest.skipUnless(KIND == "deb", "an ELF binary")
    def test_elf_carries_each_claim(self):
        views = {}
        for claim, (view, pattern) in elf_claims():
            with self.subTest(claim):
                if view not in views:
                    views[view] = sh("readelf", "-W", view, EXE).decode()
                self.assertRegex(views[view], pattern)

    @unittest.skipUnless(KIND == "deb" and b"AArch64" in sh("readelf", "-h", EXE),
                         "an arm64 binary")
    def test_arm64_signs_return_addresses(self):
        # The executable has no BTI/PAC property note (Debian 12's start-up
        # files carry none), so branch targets are not enforced; return
        # address signing needs no note, and the plug-in's own functions
        # sign theirs.
        self.assertNotIn("AArch64 feature", sh("readelf", "-n", EXE).decode())
        code = sh("aarch64-linux-gnu-objdump", "-d", EXE).decode()
        self.assertRegex(code, r"\bpaciasp\b")
        self.assertRegex(code, r"\bautiasp\b")

    @unittest.skipUnless(KIND == "zip", "a PE binary")
    def test_pe_version_manifest_and_mitigations(self):
        import pefile
        pe = pefile.PE(EXE)
        strings = {k.decode(): v.decode() for info in pe.FileInfo[0]
                   if info.Key == b"StringFileInfo"
                   for table in info.StringTable for k, v in table.entries.items()}
        four = VERSION + ".0"
        for key, want in (("FileVersion", four), ("ProductVersion", four),
                          ("ProductName", "tarvik"), ("FileDescription", "Net checks"),
                          ("OriginalFilename", "plugin_tarvik.exe"),
                          ("InternalName", "plugin_tarvik.exe")):
            self.assertEqual(want, strings.get(key), key)
        self.assertIn("Apache License 2.0", strings["LegalCopyright"])
        fixed = pe.VS_FIXEDFILEINFO[0]
        numbers = [fixed.FileVersionMS >> 16, fixed.FileVersionMS & 0xFFFF,
                   fixed.FileVersionLS >> 16, fixed.FileVersionLS & 0xFFFF]
        self.assertEqual(four, ".".join(map(str, numbers)))
        self.assertEqual((fixed.FileVersionMS, fixed.FileVersionLS),
                         (fixed.ProductVersionMS, fixed.ProductVersionLS))

        manifest = [e for e in pe.DIRECTORY_ENTRY_RESOURCE.entries
                    if e.id == pefile.RESOURCE_TYPE["RT_MANIFEST"]]
        data = manifest[0].directory.entries[0].directory.entries[0].data.struct
        text = pe.get_data(data.OffsetToData, data.Size).decode()
        self.assertIn('level="asInvoker"', text)
        for guid in SUPPORTED_OS:
            self.assertIn("{%s}" % guid, text)
        self.assertNotIn("activeCodePage", text)

        flags = pe.OPTIONAL_HEADER
        self.assertTrue(flags.IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE)
        self.assertTrue(flags.IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA)
        self.assertTrue(flags.IMAGE_DLLCHARACTERISTICS_NX_COMPAT)
        dlls = {e.dll.decode().lower() for e in pe.DIRECTORY_ENTRY_IMPORT}
        self.assertLessEqual(dlls, SYSTEM_DLLS)
        # The stack protector's runtime is linked in, with its message.
        self.assertIn(b"stack smashing detected", read(EXE))


def source_files():
    """The source tree as git sees it (tracked and new files, none ignored)."""
    try:
        out = sh("git", "-C", SOURCE_DIR, "ls-files", "-z", "-co", "--exclude-standard")
        return [p for p in out.decode().split("\0") if p and os.path.isfile(os.path.join(SOURCE_DIR, p))]
    except (OSError, subprocess.CalledProcessError):
        return [os.path.relpath(os.path.join(d, f), SOURCE_DIR)
                for d, dirs, files in os.walk(SOURCE_DIR)
                if not os.path.relpath(d, SOURCE_DIR).startswith("build") for f in files]


class Reproducible(unittest.TestCase):
    def test_two_builds_in_other_folders_give_the_same_bytes(self):
        env = dict(os.environ, SOURCE_DATE_EPOCH=source_date())
        results = []
        work = tempfile.mkdtemp(prefix="tarvik-repro-")
        try:
            for source in (os.path.join(work, "one"), os.path.join(work, "second", "copy", "src")):
                for path in source_files():
                    os.makedirs(os.path.dirname(os.path.join(source, path)), exist_ok=True)
                    shutil.copy2(os.path.join(SOURCE_DIR, path), os.path.join(source, path))
                build = os.path.join(source, "out")
                configure = ["cmake", "-S", source, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                             "-DBUILD_TESTING=OFF"]
                if TOOLCHAIN:
                    configure.append("-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(
                        source, os.path.relpath(TOOLCHAIN, SOURCE_DIR)))
                if KIND == "deb" and results:
                    # Distributions' flags may carry another fortify level;
                    # the build sets its own, to the same bytes.
                    env = dict(env, CXXFLAGS="-D_FORTIFY_SOURCE=3")
                sh(*configure, env=env)
                sh("cmake", "--build", build, "-j", str(os.cpu_count() or 2), env=env)
                package, sums = make_package(build, os.path.join(build, "packages"))
                exe = os.path.join(build, os.path.basename(EXE))
                results.append((read(exe), read(package), read(sums)))
        finally:
            shutil.rmtree(work, ignore_errors=True)
        for name, first, second in zip(("executable", "package", "SHA256SUMS"), *results):
            self.assertTrue(first == second, name + " differs between the two builds")


if __name__ == "__main__":
    prog = unittest.main(exit=False, verbosity=2)
    shutil.rmtree(UNPACKED, ignore_errors=True)
    res = prog.result
    if res.wasSuccessful() and res.testsRun and len(res.skipped) == res.testsRun:
        sys.exit(77)
    sys.exit(0 if res.wasSuccessful() else 1)
