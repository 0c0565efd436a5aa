"""The release packages of one build tree, as an operator's review takes
them: what they hold, how the binary in them is hardened, that lintian
accepts the .deb and rpmlint the .rpm, that each installs and goes again
cleanly, and that two more builds of the same source, in other folders and
at other times, give the same bytes.
CTest sets BUILD_DIR, KIND (deb or zip), CPACK, VERSION, EXE, SOURCE_DIR,
TOOLCHAIN and DEB_ARCH (both empty for a native build)."""
import gzip
import io
import json
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time
import unittest
import uuid
import zipfile

# The harness's runner starts every run under a launcher (Wine, qemu).
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from harness.runner import retried_once, start  # noqa: E402
from harness.targets import TARGETS  # noqa: E402

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
GUIDE = os.path.join(SOURCE_DIR, "docs/OPERATING.md")


def api_files(folder):
    """The contract every package carries: the schemas and their notes."""
    api = os.path.join(SOURCE_DIR, "docs/api")
    return {folder + "/api/" + name: (0o644, os.path.join(api, name))
            for name in os.listdir(api) if name == "README.md" or name.endswith(".schema.json")}


# Every file the package holds, its mode, and where it comes from.
DEB_FILES = {
    PLUGIN_DIR + "/plugin_tarvik": (0o755, EXE),
    DOC_DIR + "/README.md": (0o644, GUIDE),
    DOC_DIR + "/changelog.gz": (0o644, None),
    DOC_DIR + "/copyright": (0o644, None),
    "usr/share/lintian/overrides/tarvik": (0o644, os.path.join(SOURCE_DIR, "packaging/deb/lintian-overrides")),
    **api_files(DOC_DIR),
}
ZIP_FILES = {
    "plugin_tarvik/plugin_tarvik.exe": (0o755, EXE),
    "plugin_tarvik/README.md": (0o644, GUIDE),
    "plugin_tarvik/LICENSE": (0o644, os.path.join(SOURCE_DIR, "LICENSE")),
    **api_files("plugin_tarvik"),
}
# The .rpm beside the .deb: the same layout, with the licence text and
# CHANGELOG.md where the .deb has its Debian files; and the folders it owns.
RPM_FILES = {
    PLUGIN_DIR + "/plugin_tarvik": (0o755, EXE),
    DOC_DIR + "/README.md": (0o644, GUIDE),
    DOC_DIR + "/LICENSE": (0o644, os.path.join(SOURCE_DIR, "LICENSE")),
    DOC_DIR + "/CHANGELOG.md": (0o644, os.path.join(SOURCE_DIR, "CHANGELOG.md")),
    **api_files(DOC_DIR),
}
RPM_DIRS = {"opt/tarvik", "opt/tarvik/plugins", PLUGIN_DIR, DOC_DIR, DOC_DIR + "/api"}
RPM_ARCH = {"amd64": "x86_64", "arm64": "aarch64"}.get(DEB_ARCH, DEB_ARCH)
RPMLINTRC = os.path.join(SOURCE_DIR, "packaging/rpm/rpmlintrc")
BESIDE = ".msi" if KIND == "zip" else ".rpm"
FILES = DEB_FILES if KIND == "deb" else ZIP_FILES
# What the .exe may import: the system's own DLLs.
SYSTEM_DLLS = {"kernel32.dll", "ws2_32.dll", "iphlpapi.dll", "msvcrt.dll", "advapi32.dll"}
# The oldest Windows the .exe starts on, as its header states it (operating
# system and subsystem version): 6.0, Vista and Server 2008, the first with
# the imports below and with on-link prefix lengths in the adapter table.
NEEDS_WINDOWS = (6, 0)
IMPORTS_SINCE = {("ws2_32.dll", b"inet_pton"): (6, 0), ("ws2_32.dll", b"inet_ntop"): (6, 0)}
# Windows 7, 8, 8.1, and 10 and 11: the manifest's compatibility entries,
# which begin with Windows 7 (6.1).
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


def make_package(build_dir, out, env=None):
    """cpack in build_dir, into out; the one package and SHA256SUMS."""
    shutil.rmtree(out, ignore_errors=True)
    sh(CPACK, "--config", os.path.join(build_dir, "CPackConfig.cmake"), "-B", out, cwd=build_dir,
       env=env)
    made = [f for f in os.listdir(out) if f.endswith("." + KIND)]
    assert len(made) == 1, made
    return os.path.join(out, made[0]), os.path.join(out, "SHA256SUMS")


def msi_beside(package):
    """The Windows Installer package the Windows build makes beside the .zip."""
    return os.path.join(os.path.dirname(package), "tarvik-%s-x64.msi" % VERSION)


def rpm_beside(package):
    """The .rpm that the Linux builds make beside the .deb."""
    return os.path.join(os.path.dirname(package), "tarvik-%s-1.%s.rpm" % (VERSION, RPM_ARCH))


def beside(package):
    """The other package a build makes: the .msi beside the .zip, the .rpm
    beside the .deb."""
    return msi_beside(package) if KIND == "zip" else rpm_beside(package)


def unpack(package, into):
    if package.endswith(".rpm"):
        subprocess.run(["cpio", "-idm", "--quiet"], input=sh("rpm2cpio", package), cwd=into,
                       check=True)
    elif KIND == "deb":
        sh("dpkg-deb", "-x", package, into)
    else:
        with zipfile.ZipFile(package) as z:
            z.extractall(into)


def listing(package):
    """{path: (mode, owner)} of every file in the package."""
    files = {}
    if package.endswith(".rpm"):
        for line in sh("rpm", "-qp", "--qf", "[%{FILEMODES:perms} %{FILEUSERNAME}/%{FILEGROUPNAME}"
                       " %{FILENAMES}\n]", package).decode().splitlines():
            perms, owner, path = line.split(None, 2)
            if not perms.startswith("d"):
                files[path[1:]] = (perms, owner)
    elif KIND == "deb":
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
PACKAGES = [PACKAGE, beside(PACKAGE)]
RPM = rpm_beside(PACKAGE)
UNPACKED = tempfile.mkdtemp(prefix="tarvik-package-")
unpack(PACKAGE, UNPACKED)
# Each package that cpack makes as an archive of files, with its table.
ARCHIVES = [(PACKAGE, FILES, UNPACKED)]
if KIND == "deb":
    ARCHIVES.append((RPM, RPM_FILES, tempfile.mkdtemp(prefix="tarvik-rpm-")))
    unpack(RPM, ARCHIVES[-1][2])


class Contents(unittest.TestCase):
    def test_exactly_the_release_files_with_their_modes(self):
        for package, files, _ in ARCHIVES:
            with self.subTest(os.path.basename(package)):
                want = {path: (mode_text(mode), "root/root") if KIND == "deb" else (mode, None)
                        for path, (mode, _) in files.items()}
                self.assertEqual(want, listing(package))

    def test_packed_files_are_the_built_ones(self):
        for package, files, unpacked in ARCHIVES:
            for path, (_, built) in files.items():
                if built:
                    with self.subTest(os.path.basename(package) + ": " + path):
                        self.assertEqual(read(built), read(os.path.join(unpacked, path)))

    def test_guide_names_what_the_packages_install_and_what_the_plugin_answers(self):
        guide = read(GUIDE).decode()
        for fact in ("/" + PLUGIN_DIR + "/plugin_tarvik", "/" + DOC_DIR + "/api/",
                     "C:\\Program Files\\tarvik\\plugins\\plugin_tarvik\\", "INSTALLDIR=",
                     META.decode().strip(), "MORV_PASSWORD", "HTTP_X_MORV_PASSWORD",
                     "HTTP_AUTHORIZATION", "QV_PLUGIN_META", "`pwd`", "/plugin_tarvik",
                     "/plugins?plugin=", '"tls":"not_checked"', "11001", "3000 ms",
                     "?action=info", "?action=ifaces", "?action=dns", "?action=tcp", "?action=http",
                     "GNU C library 2.17", "Alpine", "dnf install ./tarvik-", "yum install",
                     "zypper install", "rpm -V tarvik", "/" + DOC_DIR + "/",
                     "semanage fcontext -a -t httpd_sys_script_exec_t "
                     "'/" + PLUGIN_DIR + "(/.*)?'", "restorecon -R /opt/tarvik",
                     "setsebool -P httpd_can_network_connect 1", "/etc/apt/keyrings/", "Signed-By:",
                     "repo_gpgcheck=1", "dnf config-manager", "zypper addrepo", "Valid-Until"):
            with self.subTest(fact):
                self.assertIn(fact, guide)

    def test_sha256sums_names_the_packages_with_their_sums(self):
        sums = read(SUMS).decode()
        self.assertEqual([os.path.basename(p) for p in PACKAGES],
                         [line.split("  ", 1)[1] for line in sums.splitlines()], sums)
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
        for overrides in (FILES["usr/share/lintian/overrides/tarvik"][1], RPMLINTRC):
            lines = read(overrides).decode().splitlines()
            for i, line in enumerate(lines):
                if line and not line.startswith("#"):
                    with self.subTest(os.path.basename(overrides) + ": " + line):
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


def packed_date():
    """The source date that cpack in the build tree stamps its packages with."""
    if os.environ.get("SOURCE_DATE_EPOCH"):
        return os.environ["SOURCE_DATE_EPOCH"]
    found = re.search(r'set\(ENV\{SOURCE_DATE_EPOCH\} "(\d+)"\)',
                      read(os.path.join(BUILD_DIR, "CPackProject.cmake")).decode())
    return found.group(1) if found else ""


def rpm_query(package, fmt):
    return sh("rpm", "-qp", "--qf", fmt, package).decode()


def elf_needs(exe):
    """What the executable asks of the loader, as rpm's dependency generator
    names it: each shared library, and each symbol version it needs of one."""
    marker = "(64bit)" if b"ELF64" in sh("readelf", "-h", exe) else ""
    needs = {lib + "()" + marker for lib in re.findall(
        r"\(NEEDED\)\s+Shared library: \[([^]]+)\]", sh("readelf", "-dW", exe).decode())}
    library = None
    for line in sh("readelf", "-VW", exe).decode().splitlines():
        found = re.search(r"\bFile: (\S+)", line)
        if found:
            library = found.group(1)
        found = re.search(r"\bName: (\S+)", line)
        if found and library:
            needs.add("%s(%s)%s" % (library, found.group(1), marker))
    return needs


def emulated(exe):
    """The command that runs a Linux executable of this build here."""
    if b"AArch64" in sh("readelf", "-h", exe) and HOST_ARCH != "arm64":
        return ["qemu-aarch64", "-L", "/usr/aarch64-linux-gnu", exe]
    return [exe]


@unittest.skipUnless(KIND == "deb", "the .rpm of the Linux builds")
class Rpm(unittest.TestCase):
    def test_header_fields(self):
        fields = rpm_query(RPM, "%{NAME}|%{VERSION}|%{RELEASE}|%{ARCH}|%{LICENSE}|%{URL}|"
                           "%{PACKAGER}|%{VENDOR}|%{BUILDHOST}|%{BUILDTIME}|%{PREFIXES}")
        name, version, release, arch, licence, url, packager, vendor, host, built, prefixes = \
            fields.split("|")
        self.assertEqual(("tarvik", VERSION, "1", RPM_ARCH), (name, version, release, arch))
        self.assertEqual("Apache-2.0", licence)
        self.assertRegex(url, r"^https://[a-z0-9.-]+/$")
        self.assertRegex(packager, r"^[^<>]+ <[^@<>\s]+@[a-z0-9-]+(\.[a-z0-9-]+)+>$")
        self.assertEqual(MANUFACTURER, vendor)
        # No trace of the machine or the hour of the build, and no relocation.
        self.assertEqual("tarvik.build", host)
        self.assertEqual(packed_date(), built)
        self.assertEqual({built}, set(rpm_query(RPM, "[%{FILEMTIMES}\n]").split()))
        self.assertEqual("(none)", prefixes)
        owned = [line.split(" ", 1) for line in rpm_query(
            RPM, "[%{FILEMODES:perms} %{FILENAMES}\n]").splitlines()]
        self.assertEqual(RPM_DIRS, {path[1:] for perms, path in owned if perms.startswith("d")})
        flags = dict(line.split(" ", 1) for line in rpm_query(
            RPM, "[%{FILENAMES} %{FILEFLAGS:fflags}\n]").splitlines())
        self.assertEqual("dl", flags["/" + DOC_DIR + "/LICENSE"])
        self.assertEqual("d", flags["/" + DOC_DIR + "/README.md"])

    def test_requires_are_what_the_executable_needs(self):
        requires = set(sh("rpm", "-qp", "--requires", RPM).decode().splitlines())
        ours = {r for r in requires if not r.startswith(("rpmlib(", "rtld("))}
        self.assertEqual(elf_needs(EXE), ours)
        self.assertIn("libc.so.6(GLIBC_2.17)(64bit)", ours)

    def test_changelog_opens_with_this_version_on_its_release_date(self):
        release = re.search(r"^## \[%s\] - (\d{4})-(\d\d)-(\d\d)$" % re.escape(VERSION),
                            read(os.path.join(SOURCE_DIR, "CHANGELOG.md")).decode(), re.M)
        self.assertTrue(release)
        day = time.strftime("%a %b %d %Y", time.strptime("-".join(release.groups()), "%Y-%m-%d"))
        text = sh("rpm", "-qp", "--changelog", RPM).decode()
        self.assertRegex(text.splitlines()[0],
                         r"^\* %s [^<>]+ <[^<>]+> - %s-1$" % (day, re.escape(VERSION)))
        self.assertIn("\n- ", text)
        self.assertNotIn("%%", text)

    @unittest.skipUnless(shutil.which("rpmlint"), "rpmlint is not installed")
    def test_rpmlint_reports_no_error_or_warning(self):
        # An unused filter is an error too, so the rpmlintrc holds no stale one.
        out = subprocess.run(["rpmlint", "-r", RPMLINTRC, RPM], capture_output=True,
                             text=True).stdout
        self.assertRegex(out, r"\b0 errors, 0 warnings\b", out)

    def test_unsigned_by_default(self):
        self.assertEqual("(none)", rpm_query(RPM, "%{RSAHEADER:pgpsig}"))

    def test_a_throwaway_key_signs_the_rpm_and_rpm_checks_it(self):
        work = tempfile.mkdtemp(prefix="tarvik-rpmsign-")
        home = os.path.join(work, "gnupg")
        os.mkdir(home, 0o700)
        gpg_env = dict(os.environ, GNUPGHOME=home)
        passphrase = os.path.join(work, "passphrase")
        with open(passphrase, "w") as f:
            f.write(SIGN_PASSWORD)
        gpg = ["gpg", "--batch", "--pinentry-mode", "loopback", "--passphrase-file", passphrase]
        try:
            sh(*gpg, "--quick-gen-key", "tarvik test signer <signer@tarvik.invalid>", "rsa2048",
               "sign", "1d", env=gpg_env)
            key, public = os.path.join(work, "key.asc"), os.path.join(work, "public.asc")
            with open(key, "wb") as f:
                f.write(sh(*gpg, "--armor", "--export-secret-keys", env=gpg_env))
            with open(public, "wb") as f:
                f.write(sh("gpg", "--batch", "--armor", "--export", env=gpg_env))
            fingerprint = re.search(r"^fpr:+([0-9A-F]+):", sh(
                "gpg", "--batch", "--with-colons", "--list-keys", env=gpg_env).decode(), re.M)
            # The step finds the key by the file alone: no keyring is named.
            env = {k: v for k, v in os.environ.items() if k != "GNUPGHOME"}
            env.update(TARVIK_RPM_GPG_KEY=key, TARVIK_RPM_GPG_PASSPHRASE=SIGN_PASSWORD,
                       SOURCE_DATE_EPOCH=source_date() or "0")
            # Each gpg call, rpmsign's too, and rpmbuild go through a watch
            # first on PATH: none sees the passphrase, which gpg reads from
            # a 0600 file in a 0700 folder, gone afterwards.
            log, watch = os.path.join(work, "calls.log"), os.path.join(work, "bin")
            os.mkdir(watch)
            for program in ("gpg", "rpmbuild"):
                with open(os.path.join(watch, program), "w") as f:
                    f.write(SIGNER_WATCH % {"log": log, "real": shutil.which(program)})
                os.chmod(os.path.join(watch, program), 0o755)
            env["PATH"] = watch + os.pathsep + env.get("PATH", "")
            built = []
            for out in ("one", "two"):
                package, sums = make_package(BUILD_DIR, os.path.join(work, out), env=env)
                built.append((read(rpm_beside(package)), read(sums)))
            with open(log) as f:
                calls = [json.loads(line) for line in f]
            self.assertEqual(2, sum(1 for call in calls if call["file"]), "rpmsign's gpg twice")
            for call in calls:
                self.assertEqual([], [k for k, v in call["env"].items() if SIGN_PASSWORD in v])
                if call["file"]:
                    self.assertEqual(["0o600", "0o700"], [oct(m) for m in call["modes"] or ()])
                    self.assertFalse(os.path.exists(os.path.dirname(call["file"])), call["file"])
            for name, first, second in zip((".rpm", "SHA256SUMS"), *built):
                self.assertTrue(first == second, name + " differs between two signed builds")
            sh("sha256sum", "--check", "--strict", "SHA256SUMS", cwd=os.path.dirname(sums))

            signed = rpm_beside(package)
            self.assertIn("Key ID " + fingerprint.group(1)[-16:].lower(),
                          rpm_query(signed, "%{RSAHEADER:pgpsig}"))
            db = ["rpm", "--dbpath", os.path.join(work, "rpmdb")]
            sh(*db, "--import", public)
            self.assertIn(b"signatures OK", sh(*db, "-K", signed))
            data = bytearray(read(signed))
            data[len(data) - 64] ^= 1
            changed = signed + ".changed.rpm"
            with open(changed, "wb") as f:
                f.write(data)
            self.assertNotEqual(0, subprocess.run(db + ["-K", changed],
                                                  capture_output=True).returncode)
        finally:
            subprocess.run(["gpgconf", "--kill", "gpg-agent"], env=gpg_env, capture_output=True)
            shutil.rmtree(work, ignore_errors=True)

    @unittest.skipUnless(os.geteuid() == 0, "installing a package needs root")
    def test_installs_into_an_empty_root_verifies_and_erases_without_a_trace(self):
        # The root holds no C library package, hence --nodeps for the install
        # and the verification alike; the database lives in the root. An
        # arm64 package goes into the root of this machine, which runs it
        # under qemu, hence --ignorearch.
        root = tempfile.mkdtemp(prefix="tarvik-rpm-root-")
        rpm = ["rpm", "--root", root, "--dbpath", "/var/lib/rpm"]
        foreign = ["--ignorearch"] if DEB_ARCH != HOST_ARCH else []
        try:
            sh(*rpm, "--nodeps", *foreign, "-i", RPM)
            for path, (mode, built) in RPM_FILES.items():
                with self.subTest(path):
                    self.assertEqual(mode, os.stat(os.path.join(root, path)).st_mode & 0o7777)
                    self.assertEqual(read(built), read(os.path.join(root, path)))
            meta = start(emulated(os.path.join(root, PLUGIN_DIR, "plugin_tarvik")) + ["--meta"],
                         dict(os.environ), 60)
            self.assertEqual((0, META), (meta.returncode, meta.stdout))
            verify = subprocess.run(rpm + ["-V", "--nodeps", "tarvik"], capture_output=True,
                                    text=True)
            self.assertEqual((0, ""), (verify.returncode, verify.stdout))
            sh(*rpm, "-e", "tarvik")
            # What stays is the database and the parent folders that a
            # system's own filesystem package owns.
            left = {os.path.relpath(os.path.join(d, n), root)
                    for d, dirs, files in os.walk(root) for n in dirs + files}
            self.assertEqual({"opt", "usr", "usr/share", "usr/share/doc", "var", "var/lib"},
                             {p for p in left if not p.startswith("var/lib/rpm")})
        finally:
            shutil.rmtree(root, ignore_errors=True)


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
        imported = {(e.dll.decode().lower(), i.name) for e in pe.DIRECTORY_ENTRY_IMPORT
                    for i in e.imports}
        needed = max((since for name, since in IMPORTS_SINCE.items() if name in imported),
                     default=(0, 0))
        self.assertLessEqual(needed, NEEDS_WINDOWS)
        for field in ("OperatingSystem", "Subsystem"):
            self.assertEqual(NEEDS_WINDOWS, (getattr(flags, "Major%sVersion" % field),
                                             getattr(flags, "Minor%sVersion" % field)), field)
        # The stack protector's runtime is linked in, with its message.
        self.assertIn(b"stack smashing detected", read(EXE))


# The .msi: its product codes, and a throwaway 64-bit Wine prefix of the
# test's own in which msiexec installs, upgrades and removes it, so that no
# install ever touches a shared prefix.
UPGRADE_CODE = uuid.UUID("93313C32-14E8-4EDF-9F34-08570533D267")
UNINSTALL_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
MANUFACTURER = "The tarvik authors"
_WINE = {}


def wine_env():
    """The environment of a fresh 64-bit Wine prefix, made on first use."""
    if not _WINE:
        prefix = tempfile.mkdtemp(prefix="tarvik-msi-wine-")
        _WINE.update(os.environ, WINEPREFIX=prefix, WINEARCH="win64", WINEDEBUG="-all",
                     WINEDLLOVERRIDES="mscoree,mshtml=")
        # A persistent server, then the prefix made with no pipes: the
        # helper processes the first run starts live on and would hold a
        # run's pipes open.
        for warm_up in (["wineserver", "-p"], ["wineboot", "-i"]):
            subprocess.run(warm_up, env=_WINE, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, check=True, timeout=300)
    return _WINE


def wine_drop():
    if _WINE:
        subprocess.run(["wineserver", "-k"], env=_WINE, capture_output=True)
        shutil.rmtree(_WINE["WINEPREFIX"], ignore_errors=True)


def wine(*args):
    """(exit status, standard output) of a Windows program under the prefix,
    through the harness's runner: once more when Wine itself failed to start
    it."""
    argv = ["wine", *args]
    run = retried_once(lambda: start(argv, wine_env(), 300), argv, TARGETS["windows"])
    return run.returncode, run.stdout


def on_c(windows_path):
    """Where a C: path of the prefix lies on this machine."""
    return os.path.join(wine_env()["WINEPREFIX"], "drive_c", *windows_path[3:].split("\\"))


def name_uuid(name, version):
    return "{%s}" % str(uuid.uuid5(UPGRADE_CODE, "%s %s" % (name, version))).upper()


def newer_version(version):
    major, minor, patch = version.split(".")
    return "%s.%s.%d" % (major, minor, int(patch) + 1)


def make_msi(version, out):
    """An .msi of another version from the same source and staged files."""
    sh("cmake", "-DSTAGE=" + os.path.join(UNPACKED, "plugin_tarvik"), "-DVERSION=" + version,
       "-DOUT=" + out, "-DEPOCH=" + (source_date() or "0"), "-DPYTHON=" + sys.executable,
       "-P", os.path.join(SOURCE_DIR, "packaging/windows/msi.cmake"))
    return out


def msi_table(msi, table):
    rows = sh("msiinfo", "export", msi, table).decode().splitlines()[3:]
    return dict(row.split("\t", 1) for row in rows)


@unittest.skipUnless(KIND == "zip", "the Windows build only")
class WindowsInstaller(unittest.TestCase):
    MSI = msi_beside(PACKAGE)
    DEFAULT_DIR = "C:\\Program Files\\tarvik\\plugins\\plugin_tarvik"
    AGENT_DIR = "C:\\agent\\plugins\\plugin_tarvik"

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="tarvik-msi-")
        cls.newer = newer_version(VERSION)
        cls.NEWER = make_msi(cls.newer, os.path.join(cls.work, "tarvik-%s-x64.msi" % cls.newer))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def test_installs_the_files_of_the_zip(self):
        into = os.path.join(self.work, "extracted")
        sh("msiextract", "-C", into, self.MSI)
        held = {os.path.relpath(os.path.join(d, f), into).replace(os.sep, "/")
                for d, _, files in os.walk(into) for f in files}
        want = {"tarvik/plugins/" + path: built for path, (_, built) in ZIP_FILES.items()}
        self.assertEqual(set(want), held)
        for path, built in want.items():
            with self.subTest(path):
                self.assertEqual(read(built), read(os.path.join(into, path)))

    def test_product_codes_are_fixed_per_version_and_the_upgrade_code_for_ever(self):
        for msi, version in ((self.MSI, VERSION), (self.NEWER, self.newer)):
            with self.subTest(version):
                props = msi_table(msi, "Property")
                self.assertEqual(("tarvik", version, MANUFACTURER, "1"),
                                 (props["ProductName"], props["ProductVersion"],
                                  props["Manufacturer"], props["ALLUSERS"]))
                self.assertEqual("{%s}" % str(UPGRADE_CODE).upper(), props["UpgradeCode"])
                self.assertEqual(name_uuid("ProductCode", version), props["ProductCode"])
                summary = sh("msiinfo", "suminfo", msi).decode()
                self.assertIn("Template: x64;1033\n", summary)
                self.assertIn("Revision number (UUID): %s\n" % name_uuid("PackageCode", version),
                              summary)
        self.assertIn("WIX_DOWNGRADE_DETECTED", msi_table(self.MSI, "Property")["SecureCustomProperties"])

    def installed(self, folder):
        """The plug-in's files found in a folder of the prefix."""
        return {p for p in ZIP_FILES if os.path.isfile(
            os.path.join(on_c(folder), p.split("/", 1)[1]))}

    def registered(self):
        """(DisplayVersion, Publisher) of each product named tarvik in
        Programs and Features."""
        _, out = wine("reg", "query", UNINSTALL_KEY, "/s")
        found = []
        for block in re.split(r"\r?\n\s*\r?\n", out.decode(errors="replace")):
            values = dict(re.findall(r"^[ \t]+(\w+)[ \t]+REG_\w+[ \t]*(.*?)\r?$", block, re.M))
            if values.get("DisplayName") == "tarvik":
                found.append((values.get("DisplayVersion"), values.get("Publisher")))
        return found

    def msiexec(self, *args):
        return wine("msiexec", *args, "/qn")[0]

    def test_msiexec_installs_upgrades_refuses_a_downgrade_and_uninstalls_cleanly(self):
        started = time.monotonic()
        everything = set(ZIP_FILES)
        steps = (
            # (what, msiexec arguments, exit status 0?, registered, folder, files there)
            ("install", ("/i", self.MSI), True, [VERSION], self.DEFAULT_DIR, everything),
            ("upgrade", ("/i", self.NEWER), True, [self.newer], self.DEFAULT_DIR, everything),
            ("downgrade", ("/i", self.MSI), False, [self.newer], self.DEFAULT_DIR, everything),
            ("uninstall", ("/x", self.NEWER), True, [], self.DEFAULT_DIR, set()),
            ("install elsewhere", ("/i", self.MSI, "INSTALLDIR=" + self.AGENT_DIR), True,
             [VERSION], self.AGENT_DIR, everything),
            ("upgrade elsewhere", ("/i", self.NEWER), True, [self.newer], self.AGENT_DIR, everything),
            ("uninstall elsewhere", ("/x", self.NEWER), True, [], self.AGENT_DIR, set()),
        )
        for what, args, succeeds, versions, folder, files in steps:
            with self.subTest(what):
                status = self.msiexec(*args)
                self.assertEqual(succeeds, status == 0, status)
                self.assertEqual([(v, MANUFACTURER) for v in versions], self.registered())
                self.assertEqual(files, self.installed(folder))
                if files:
                    self.assertEqual((0, META), wine(folder + "\\plugin_tarvik.exe", "--meta"))
                if "elsewhere" in what:
                    self.assertFalse(os.path.exists(on_c(self.DEFAULT_DIR)))
        # Nothing of the product is left: no folder, at either place, and no key.
        self.assertFalse(os.path.exists(on_c("C:\\Program Files\\tarvik")))
        self.assertFalse(os.path.exists(on_c(self.AGENT_DIR)))
        self.assertNotEqual(0, wine("reg", "query", "HKLM\\Software\\tarvik")[0])
        sys.stderr.write("msiexec under Wine: %.1f s\n" % (time.monotonic() - started))


# The signing step, with a throwaway CA and code-signing key made here.
# No timestamp server is named: a test never leaves the machine. The
# password holds what a shell, CMake or a list would split or expand.
SIGN_PASSWORD = "s3cret; with spaces, $HOME, \\ and \"quotes\""
# Debian 12's own osslsigncode, whose -readpass takes a file name only. It
# is fetched from Debian's archive once and unpacked into the build tree,
# by version, and signs beside whatever osslsigncode this machine has.
DEBIAN12_OSSLSIGNCODE = "2.5-4"
# Stands in front of a program of the packaging step (osslsigncode, gpg,
# rpmbuild): writes what the step handed it (arguments, environment, and
# the secret file's and folder's modes and owners) as one JSON line to LOG,
# then runs the real one.
SIGNER_WATCH = """#!/usr/bin/python3
import json, os, stat, sys
args = sys.argv[1:]
seen = {"args": args, "env": dict(os.environ), "file": None, "modes": None, "owners": None}
for flag in ("-readpass", "--passphrase-file"):
    if flag in args:
        path = args[args.index(flag) + 1]
        seen["file"] = path
        if os.path.isfile(path):
            held = [os.stat(p) for p in (path, os.path.dirname(path))]
            seen.update(modes=[stat.S_IMODE(h.st_mode) for h in held],
                        owners=[h.st_uid for h in held])
with open(%(log)r, "a") as f:
    f.write(json.dumps(seen) + "\\n")
os.execv(%(real)r, [%(real)r] + args)
"""


def debian12_osslsigncode():
    """The osslsigncode program of Debian 12's package, unpacked under
    BUILD_DIR/tools/osslsigncode-VERSION on first use."""
    into = os.path.join(BUILD_DIR, "tools", "osslsigncode-" + DEBIAN12_OSSLSIGNCODE)
    program = os.path.join(into, "usr", "bin", "osslsigncode")
    if not os.path.exists(program):
        fetch = tempfile.mkdtemp(prefix="tarvik-deb-")
        try:
            run = subprocess.run(["apt-get", "download", "osslsigncode=" + DEBIAN12_OSSLSIGNCODE],
                                 cwd=fetch, capture_output=True, text=True)
            if run.returncode != 0:
                raise AssertionError("Debian's archive gave no osslsigncode %s (apt-get update?): %s"
                                     % (DEBIAN12_OSSLSIGNCODE, run.stderr))
            # Unpacked beside, then moved in whole: an interrupted run
            # leaves no half tool behind.
            unpacked = os.path.join(fetch, "unpacked")
            sh("dpkg-deb", "-x", os.path.join(fetch, "osslsigncode_%s_%s.deb" % (
                DEBIAN12_OSSLSIGNCODE, HOST_ARCH)), unpacked)
            os.makedirs(os.path.dirname(into), exist_ok=True)
            shutil.rmtree(into, ignore_errors=True)
            shutil.move(unpacked, into)
        finally:
            shutil.rmtree(fetch, ignore_errors=True)
    return program


def signers():
    """(what, program, whether TARVIK_SIGN_OSSLSIGNCODE names it rather than
    PATH) of each osslsigncode the signing step runs with."""
    mine = shutil.which("osslsigncode")
    said = sh(mine, "--version").decode().split("\n", 1)[0].split(",")[0]
    return [("this machine's, " + said, mine, False),
            ("Debian 12's, " + DEBIAN12_OSSLSIGNCODE, debian12_osslsigncode(), True)]


def make_signing_key(into):
    """A CA and a code-signing key it certifies, as PEM and PKCS#12 files."""
    ca, ca_key, key, csr, cert, ext, p12 = (os.path.join(into, n) for n in (
        "ca.pem", "ca.key", "sign.key", "sign.csr", "sign.pem", "sign.ext", "sign.p12"))
    sh("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", ca_key, "-out", ca,
       "-days", "2", "-subj", "/CN=tarvik test CA",
       "-addext", "basicConstraints=critical,CA:TRUE",
       "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    sh("openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", csr,
       "-subj", "/CN=tarvik test signer")
    with open(ext, "w") as f:
        f.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                "extendedKeyUsage=codeSigning\n")
    sh("openssl", "x509", "-req", "-in", csr, "-CA", ca, "-CAkey", ca_key, "-CAcreateserial",
       "-days", "1", "-extfile", ext, "-out", cert)
    sh("openssl", "pkcs12", "-export", "-inkey", key, "-in", cert, "-certfile", ca,
       "-passout", "pass:" + SIGN_PASSWORD, "-out", p12)
    return ca, p12


def verify(path, ca, program="osslsigncode"):
    """(whether the signature verifies against ca, what osslsigncode said)"""
    run = subprocess.run([program, "verify", "-CAfile", ca, "-in", path],
                         capture_output=True, text=True)
    return run.returncode == 0, run.stdout


def signing_time(epoch):
    """The source date as osslsigncode prints a signing time."""
    t = time.gmtime(int(epoch))
    return "Signing time: %s %2d %s GMT" % (time.strftime("%b", t), t.tm_mday,
                                            time.strftime("%H:%M:%S %Y", t))


def flip_exe_byte(path, out):
    """A copy with one byte of the code changed."""
    import pefile
    text = [s for s in pefile.PE(path).sections if s.Name.rstrip(b"\0") == b".text"][0]
    data = bytearray(read(path))
    data[text.PointerToRawData + 64] ^= 1
    with open(out, "wb") as f:
        f.write(data)


def flip_msi_byte(path, out):
    """A copy with one byte of the embedded cabinet changed."""
    import olefile
    shutil.copy(path, out)
    with olefile.OleFileIO(out, write_mode=True) as ole:
        name = max(ole.listdir(streams=True, storages=False), key=ole.get_size)
        data = bytearray(ole.openstream(name).read())
        data[len(data) // 2] ^= 1
        ole.write_stream(name, bytes(data))


@unittest.skipUnless(KIND == "zip", "the Windows build only")
class Signing(unittest.TestCase):
    def test_unsigned_by_default(self):
        import pefile
        security = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]
        self.assertEqual(0, pefile.PE(EXE).OPTIONAL_HEADER.DATA_DIRECTORY[security].Size)
        self.assertNotIn("DigitalSignature", str(sh("msiinfo", "streams", msi_beside(PACKAGE))))

    def test_each_osslsigncode_signs_the_exe_and_the_msi_and_both_verify(self):
        table = signers()
        work = tempfile.mkdtemp(prefix="tarvik-sign-")
        try:
            ca, p12 = make_signing_key(work)
            for row, (what, program, named) in enumerate(table):
                with self.subTest(what):
                    self.signs_with(program, named, os.path.join(work, "signer%d" % row), ca,
                                    p12, [p for _, p, _ in table])
        finally:
            shutil.rmtree(work, ignore_errors=True)

    def signs_with(self, program, named, work, ca, p12, checkers):
        """Two signed builds by program (named by TARVIK_SIGN_OSSLSIGNCODE,
        or first on PATH), in work: the same bytes, each file verified by
        every osslsigncode in checkers, and the password never on the
        signer's command line or in its environment."""
        os.makedirs(work)
        log, watch = os.path.join(work, "signer.log"), os.path.join(work, "osslsigncode")
        with open(watch, "w") as f:
            f.write(SIGNER_WATCH % {"log": log, "real": program})
        os.chmod(watch, 0o755)
        env = dict(os.environ, TARVIK_SIGN_PKCS12=p12, TARVIK_SIGN_PASSWORD=SIGN_PASSWORD,
                   SOURCE_DATE_EPOCH=source_date() or "0")
        env.pop("TARVIK_SIGN_TIMESTAMP_URL", None)
        if named:
            env["TARVIK_SIGN_OSSLSIGNCODE"] = watch
        else:
            env.pop("TARVIK_SIGN_OSSLSIGNCODE", None)
            env["PATH"] = work + os.pathsep + env.get("PATH", "")
        built = []
        for out in ("one", "two"):
            package, sums = make_package(BUILD_DIR, os.path.join(work, out), env=env)
            built.append((read(package), read(msi_beside(package)), read(sums)))
        for name, first, second in zip((".zip", ".msi", "SHA256SUMS"), *built):
            self.assertTrue(first == second, name + " differs between two signed builds")
        sh("sha256sum", "--check", "--strict", "SHA256SUMS", cwd=os.path.dirname(sums))

        with open(log) as f:
            calls = [json.loads(line) for line in f]
        self.assertEqual(4, len(calls), "an .exe and an .msi in each of two builds")
        for call in calls:
            self.assertNotIn(SIGN_PASSWORD, " ".join(call["args"]))
            self.assertEqual([], [k for k, v in call["env"].items() if SIGN_PASSWORD in v])
            self.assertEqual(["0o600", "0o700"], [oct(m) for m in call["modes"] or ()])
            self.assertEqual([os.geteuid()] * 2, call["owners"])
            self.assertFalse(os.path.exists(os.path.dirname(call["file"])), call["file"])

        exe = os.path.join(work, "plugin_tarvik.exe")
        with zipfile.ZipFile(package) as z, open(exe, "wb") as f:
            f.write(z.read("plugin_tarvik/plugin_tarvik.exe"))
        msi = msi_beside(package)
        for path, flip in ((exe, flip_exe_byte), (msi, flip_msi_byte)):
            flip(path, path + ".changed")
            for checker in checkers:
                with self.subTest(os.path.basename(path), checker=checker):
                    good, said = verify(path, ca, checker)
                    self.assertTrue(good, said)
                    self.assertIn(signing_time(env["SOURCE_DATE_EPOCH"]), said)
                    self.assertFalse(verify(path + ".changed", ca, checker)[0])
        self.assertEqual((0, META), wine(exe, "--meta"))


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
                if KIND == "deb" and results:
                    # Distributions' flags may carry another fortify level;
                    # the build sets its own, to the same bytes.
                    env = dict(env, CXXFLAGS="-D_FORTIFY_SOURCE=3")
                results.append(build_source(source, env)[0])
        finally:
            shutil.rmtree(work, ignore_errors=True)
        for name, first, second in zip(("executable", "package", "SHA256SUMS", BESIDE), *results):
            self.assertTrue(first == second, name + " differs between the two builds")


def build_source(source, env):
    """Configures, builds and packages the tree in source, in source/out:
    the bytes of the executable, the package, SHA256SUMS and the package
    beside it (the .msi or the .rpm), and what configuring printed."""
    build = os.path.join(source, "out")
    configure = ["cmake", "-S", source, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                 "-DBUILD_TESTING=OFF"]
    if TOOLCHAIN:
        configure.append("-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(
            source, os.path.relpath(TOOLCHAIN, SOURCE_DIR)))
    said = sh(*configure, env=env).decode()
    sh("cmake", "--build", build, "-j", str(os.cpu_count() or 2), env=env)
    package, sums = make_package(build, os.path.join(build, "packages"))
    return (read(os.path.join(build, os.path.basename(EXE))), read(package), read(sums),
            read(beside(package))), said


class FromAnySource(unittest.TestCase):
    def test_a_git_archive_gives_the_packages_of_a_clone(self):
        # Both trees hold the last commit, whatever the work tree holds
        # beyond it (the two builds above cover that), and neither build is
        # given SOURCE_DATE_EPOCH: the archive, unpacked without .git, takes
        # the date git archive wrote into it; the clone takes it from git, as
        # another user's checkout when the test runs as root.
        git = ["git", "-c", "safe.directory=" + os.path.realpath(SOURCE_DIR), "-C", SOURCE_DIR]
        try:
            top, head = sh(*git, "rev-parse", "--show-toplevel", "HEAD").decode().split()
        except (OSError, subprocess.CalledProcessError):
            top = head = None
        if top != os.path.realpath(SOURCE_DIR):
            self.skipTest("the source is no git checkout of its own")
        env = {k: v for k, v in os.environ.items() if k != "SOURCE_DATE_EPOCH"}
        work = tempfile.mkdtemp(prefix="tarvik-sources-")
        try:
            archive = os.path.join(work, "unpacked", "tarvik-" + VERSION)
            os.makedirs(archive)
            with tarfile.open(fileobj=io.BytesIO(sh(*git, "archive", "--format=tar", head))) as t:
                t.extractall(archive)
            clone = os.path.join(work, "clone")
            sh(*git, "clone", "-q", "--no-checkout", SOURCE_DIR, clone)
            sh("git", "-C", clone, "checkout", "-q", head)
            if os.geteuid() == 0:
                sh("chown", "-R", "65534:65534", clone)
            (from_archive, said_archive), (from_clone, said_clone) = (
                build_source(archive, env), build_source(clone, env))
        finally:
            shutil.rmtree(work, ignore_errors=True)
        commit_time = sh(*git, "log", "-1", "--format=%ct", head).decode().strip()
        self.assertIn("Source date: %s, from the commit time git archive wrote" % commit_time,
                      said_archive)
        self.assertIn("Source date: %s, from the last commit" % commit_time, said_clone)
        for name, a, c in zip(("executable", "package", "SHA256SUMS", BESIDE), from_archive,
                              from_clone):
            self.assertTrue(a == c, name + " differs between the archive's and the clone's build")



# The release's repositories, made from this build's packages, the arm64
# build's and a newer version of this one, signed by a throwaway RSA key and
# served from 127.0.0.1 to apt and dnf in roots of the test's own. A root's C
# library is a stand-in: a dpkg status entry, or a package that provides
# what tarvik requires.
ARM64_BUILD = os.path.join(os.path.dirname(BUILD_DIR), "arm64")
APT_DIRS = ("etc/apt/sources.list.d", "etc/apt/keyrings", "etc/apt/apt.conf.d",
            "etc/apt/preferences.d", "var/lib/apt/lists/partial", "var/log/apt",
            "var/cache/apt/archives/partial", "var/lib/dpkg/info", "var/lib/dpkg/updates")
LIBC6 = ("Package: libc6\nStatus: install ok installed\nArchitecture: amd64\nVersion: 2.36-9\n"
         "Maintainer: n <n@n.invalid>\nDescription: d\n")
STAND_IN = ("Name: node-libc\nVersion: 1\nRelease: 1\nSummary: s\nLicense: none\n%s\n"
            "%%description\nd\n%%files\n")


def gpg_in(home, *args):
    """gpg with a keyring folder, whose passphrase is in a file beside it."""
    return sh("gpg", "--batch", "--pinentry-mode", "loopback", "--homedir", home,
              "--passphrase-file", os.path.join(os.path.dirname(home), "pass"), *args)


def make_repos(out, packages, env, url=""):
    sh("cmake", "-DPACKAGES=" + ";".join(packages), "-DOUT=" + out, "-DURL=" + url, "-P",
       os.path.join(SOURCE_DIR, "packaging/repositories.cmake"), env=env)
    return {os.path.relpath(os.path.join(d, f), out): read(os.path.join(d, f))
            for d, _, files in os.walk(out) for f in files}


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb" if isinstance(data, bytes) else "w") as f:
        f.write(data)


@unittest.skipUnless(KIND == "deb" and DEB_ARCH == HOST_ARCH == "amd64" and os.geteuid() == 0,
                     "the x86-64 build, as root")
class Repositories(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.path.exists(os.path.join(ARM64_BUILD, "CPackConfig.cmake")):
            raise unittest.SkipTest("the arm64 preset is not built beside this one")
        import functools, http.server, threading
        cls.work = w = tempfile.mkdtemp(prefix="tarvik-repos-")
        cls.addClassCleanup(shutil.rmtree, w, ignore_errors=True)
        cls.served = served = os.path.join(w, "served")
        write(os.path.join(w, "pass"), SIGN_PASSWORD)
        cls.homes = [os.path.join(w, h) for h in ("release", "other")]
        for home in cls.homes:
            os.mkdir(home, 0o700)
            cls.addClassCleanup(subprocess.run, ["gpgconf", "--homedir", home, "--kill",
                                                 "gpg-agent"])
            gpg_in(home, "--quick-gen-key", "t <t@tarvik.invalid>", "rsa3072", "sign", "never")
        write(os.path.join(w, "key.asc"), gpg_in(cls.homes[0], "--armor", "--export-secret-keys"))
        quiet = type("Quiet", (http.server.SimpleHTTPRequestHandler,),
                     {"log_message": lambda *a: None})
        cls.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0),
                                                     functools.partial(quiet, directory=served))
        threading.Thread(target=cls.server.serve_forever, daemon=True).start()
        cls.addClassCleanup(cls.server.shutdown)
        cls.env = {k: v for k, v in os.environ.items() if k != "GNUPGHOME"}
        cls.env.update(TARVIK_RPM_GPG_KEY=os.path.join(w, "key.asc"),
                       TARVIK_RPM_GPG_PASSPHRASE=SIGN_PASSWORD, SOURCE_DATE_EPOCH=source_date())
        cls.packages = [os.path.join(w, p) for p in ("amd64", "arm64", "newer")]
        make_package(BUILD_DIR, cls.packages[0], env=cls.env)
        make_package(ARM64_BUILD, cls.packages[1], env=cls.env)
        sh(CPACK, "--config", os.path.join(BUILD_DIR, "CPackConfig.cmake"), "-B", cls.packages[2],
           "-D", "CPACK_PACKAGE_VERSION=" + newer_version(VERSION), cwd=BUILD_DIR, env=cls.env)
        # Every gpg call of the step goes through the watch first on PATH.
        cls.log, watch = os.path.join(w, "calls.log"), os.path.join(w, "bin", "gpg")
        write(watch, SIGNER_WATCH % {"log": cls.log, "real": shutil.which("gpg")})
        os.chmod(watch, 0o755)
        env = dict(cls.env, PATH=os.path.dirname(watch) + os.pathsep + os.environ["PATH"])
        url = "http://127.0.0.1:%d/good" % cls.server.server_address[1]
        cls.trees = [make_repos(os.path.join(served, "good"), cls.packages, env, url) for _ in "12"]
        # Another key's signatures, none, and changed indexes: a tree each.
        for name in ("other", "unsigned", "tampered"):
            shutil.copytree(os.path.join(served, "good"), os.path.join(served, name))
        index = os.path.join(served, "tampered/apt/dists/stable/main/binary-amd64/Packages")
        write(index, read(index) + b"Tag: x\n")
        write(index + ".gz", gzip.compress(read(index)))
        with open(os.path.join(served, "tampered/rpm/x86_64/repodata/repomd.xml"), "ab") as f:
            f.write(b"\n")
        for signed, how, plain in (
                ("apt/dists/stable/InRelease", "--clearsign", "Release"),
                ("apt/dists/stable/Release.gpg", "--detach-sign", "Release"),
                ("rpm/x86_64/repodata/repomd.xml.asc", "--detach-sign", "repomd.xml")):
            os.remove(os.path.join(served, "unsigned", signed))
            at = os.path.join(served, "other", signed)
            gpg_in(cls.homes[1], "--yes", "--armor", how, "--output", at,
                   os.path.join(os.path.dirname(at), plain))

    def test_trees_are_reproducible_signed_and_sha2_only(self):
        good, (one, two) = os.path.join(self.served, "good"), self.trees
        self.assertEqual([], [n for n in set(one) | set(two) if one.get(n) != two.get(n)])
        release = one["apt/dists/stable/Release"].decode()
        self.assertNotRegex(release, r"(?m)^(MD5Sum|SHA1|Valid-Until):")
        self.assertIn(time.strftime("\nDate: %a, %d %b %Y %H:%M:%S +0000\n",
                                    time.gmtime(int(source_date()))), release)
        for arch in ("amd64", "arm64"):
            packages = one["apt/dists/stable/main/binary-%s/Packages" % arch].decode()
            self.assertEqual({arch}, set(re.findall(r"(?m)^Architecture: (\S+)$", packages)))
        for name in (n for n in one if n.endswith(".rpm")):
            self.assertEqual(name.split("/")[1], rpm_query(os.path.join(good, name), "%{ARCH}"))
        # apt and dnf check InRelease and repomd.xml.asc; Release.gpg is for clients that
        # take the Release file with a detached signature.
        sh("gpgv", "--keyring", os.path.join(good, "tarvik-archive-keyring.gpg"),
           "Release.gpg", "Release", cwd=os.path.join(good, "apt/dists/stable"))
        sh("sha256sum", "--check", "--strict", "SHA256SUMS", cwd=good)
        self.assertEqual(len(one) - 1, len(read(os.path.join(good, "SHA256SUMS")).splitlines()))
        # The passphrase reaches gpg as a 0600 file in a 0700 folder, gone afterwards.
        with open(self.log) as f:
            calls = [json.loads(line) for line in f]
        self.assertEqual(2 * 4, sum(1 for call in calls if call["file"]), "four signatures a run")
        for call in calls:
            self.assertNotIn(SIGN_PASSWORD, " ".join(call["args"] + list(call["env"].values())))
            if call["file"]:
                self.assertEqual(["0o600", "0o700"], [oct(m) for m in call["modes"]])
                self.assertFalse(os.path.exists(call["file"]))
        env = {k: v for k, v in self.env.items() if k != "TARVIK_RPM_GPG_KEY"}
        self.assertEqual({}, make_repos(os.path.join(self.work, "keyless"), self.packages, env))
        # An Ed25519 key, which rpm on RHEL 7 and 8 cannot read, is refused.
        home, key = os.path.join(self.work, "ed25519"), os.path.join(self.work, "ed25519.asc")
        os.mkdir(home, 0o700)
        self.addCleanup(subprocess.run, ["gpgconf", "--homedir", home, "--kill", "gpg-agent"])
        gpg_in(home, "--quick-gen-key", "e <e@tarvik.invalid>", "ed25519", "sign", "never")
        write(key, gpg_in(home, "--armor", "--export-secret-keys"))
        with self.assertRaises(subprocess.CalledProcessError) as refused:
            make_repos(home + ".out", self.packages, dict(self.env, TARVIK_RPM_GPG_KEY=key), "u")
        self.assertIn(b"must be RSA of 3072 bits or more", refused.exception.stderr)

    def client(self, name, tree, arch):
        """A root of the client's own with the tree's key and client file: the
        client's command there, its environment, and the root."""
        root, served = tempfile.mkdtemp(dir=self.work), os.path.join(self.served, tree)
        conf = lambda f: read(os.path.join(served, f)).decode().replace(
            "/good/", "/%s/" % tree).replace("/etc/apt/", root + "/etc/apt/")
        if name == "apt":
            for d in APT_DIRS:
                os.makedirs(os.path.join(root, d))
            shutil.copy(os.path.join(served, "tarvik-archive-keyring.gpg"),
                        root + "/etc/apt/keyrings")
            write(root + "/etc/apt/sources.list.d/tarvik.sources", conf("tarvik.sources"))
            write(root + "/apt.conf", 'Dir "%s/"; APT::Architecture "amd64"; DPkg::Options:: '
                  '"--root=%s"; APT::Sandbox::User "root";\n' % (root, root))
            write(root + "/var/lib/dpkg/status", LIBC6)
            write(root + "/var/lib/dpkg/available", "")
            return (["apt-get", "-qy", "-o", "Acquire::Check-Valid-Until=true", "-o",
                     "Acquire::Check-Date=true"], dict(os.environ, APT_CONFIG=root + "/apt.conf"),
                    root)
        write(root + "/etc/yum.repos.d/tarvik.repo", conf("tarvik.repo"))
        os.makedirs(root + "/var/log")
        sh("rpm", "--root", root, "--import", os.path.join(served, "tarvik-release-key.asc"))
        return (["dnf", "-qy", "--installroot=" + root, "--releasever=1", "--forcearch=" + arch,
                 "--setopt=skip_if_unavailable=False"] + ["--setopt=%s=%s/%s" % (o, root, d)
                 for o, d in (("reposdir", "etc/yum.repos.d"), ("cachedir", "var/cache/dnf"),
                              ("logdir", "var/log"))], dict(os.environ), root)

    def test_apt_and_dnf_install_and_upgrade_from_the_signed_trees_only(self):
        newer, forged = newer_version(VERSION), "repomd.xml GPG signature verification error"
        for name, tree, arch, versions, refusal in (
                ("apt", "good", "amd64", (VERSION, newer), ""),
                ("apt", "other", "amd64", (), "NO_PUBKEY"),
                ("apt", "unsigned", "amd64", (), "is not signed"),
                ("apt", "tampered", "amd64", (), "Hashes of expected file"),
                ("dnf", "good", "x86_64", (VERSION, newer), ""),
                ("dnf", "good", "aarch64", (VERSION,), ""),
                ("dnf", "other", "x86_64", (), forged),
                ("dnf", "unsigned", "x86_64", (), "repomd.xml.asc"),
                ("dnf", "tampered", "x86_64", (), forged)):
            with self.subTest(name, tree=tree, arch=arch):
                command, env, root = self.client(name, tree, arch)
                run = subprocess.run(command + ["update" if name == "apt" else "makecache"],
                                     env=env, capture_output=True, text=True)
                said = run.stdout + run.stderr
                self.assertEqual((bool(versions), True), (run.returncode == 0, refusal in said),
                                 said)
                if versions and name == "dnf":
                    rpm = os.path.join(self.served, tree, "rpm", arch,
                                       "tarvik-%s-1.%s.rpm" % (VERSION, arch))
                    write(root + "/libc-stand-in.rpmbuild", STAND_IN % "\n".join(
                        "Provides: " + r for r in rpm_query(rpm, "[%{REQUIRES}\n]").split("\n")
                        if r and not r.startswith("rpmlib(")))
                    sh("rpmbuild", "-bb", "--target", arch, "--define", "_topdir %s/build" % root,
                       "--define", "_rpmdir " + root, root + "/libc-stand-in.rpmbuild")
                    sh(*command, "install", "%s/%s/node-libc-1-1.%s.rpm" % (root, arch, arch))
                for version in versions:
                    run = subprocess.run(command + ["install", "tarvik" + "=-"[name == "dnf"]
                                                    + version], env=env, capture_output=True,
                                         text=True)
                    self.assertEqual(0, run.returncode, run.stdout + run.stderr)
                    self.assertEqual(version.encode(), sh(*(
                        ["dpkg-query", "--admindir", root + "/var/lib/dpkg", "-Wf", "${Version}"]
                        if name == "apt" else ["rpm", "--root", root, "-q", "--qf", "%{VERSION}"]),
                        "tarvik"))
                    exe = os.path.join(root, PLUGIN_DIR, "plugin_tarvik")
                    meta = start(emulated(exe) + ["--meta"], dict(os.environ), 60)
                    self.assertEqual((0, META), (meta.returncode, meta.stdout))

if __name__ == "__main__":
    prog = unittest.main(exit=False, verbosity=2)
    wine_drop()
    for _, _, unpacked in ARCHIVES:
        shutil.rmtree(unpacked, ignore_errors=True)
    res = prog.result
    if res.wasSuccessful() and res.testsRun and len(res.skipped) == res.testsRun:
        sys.exit(77)
    sys.exit(0 if res.wasSuccessful() else 1)
