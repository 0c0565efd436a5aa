# Sourced by the README's commands: makes sure the Debian packages a command
# needs are installed. Each pair is WHAT:PACKAGE, where WHAT is a command,
# looked up on PATH, or a file, named by its absolute path; a bare name is
# never taken as a file, since the commands run in the project's root, where
# a folder of that name may stand (cmake/). As root it installs what is
# missing; otherwise it names the exact apt-get line and stops.
need_packages() {
  missing=""
  for pair in "$@"; do
    what=${pair%%:*}
    pkg=${pair#*:}
    case "$what" in
      /*) [ -e "$what" ] && continue ;;
      *) command -v "$what" >/dev/null 2>&1 && continue ;;
    esac
    case " $missing " in
      *" $pkg "*) ;;
      *) missing="$missing $pkg" ;;
    esac
  done
  [ -z "$missing" ] && return 0
  if [ "$(id -u)" -eq 0 ]; then
    echo "installing:$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    # The web servers among them run in configurations of the tests' own;
    # the system's services stay stopped (two would fight over port 80).
    policy=/usr/sbin/policy-rc.d
    made_policy=""
    if [ ! -e "$policy" ]; then
      printf '#!/bin/sh\nexit 101\n' > "$policy" && chmod 755 "$policy" && made_policy=1
    fi
    rc=0
    # shellcheck disable=SC2086
    apt-get install -y -qq --no-install-recommends $missing >/dev/null || rc=$?
    [ -z "$made_policy" ] || rm -f "$policy"
    [ "$rc" -eq 0 ] || exit "$rc"
  else
    echo "missing Debian packages; install them with:" >&2
    echo "  sudo apt-get install -y --no-install-recommends$missing" >&2
    exit 1
  fi
}

# The Linux release builds are clang's, against Debian 11 sysroots that the
# build makes from Debian's archive (dpkg-deb unpacks them); their unit
# tests compile GoogleTest from Debian's sources.
BUILD_PACKAGES="cmake:cmake g++:g++ make:make python3:python3 /usr/include/gtest/gtest.h:libgtest-dev
  /usr/lib/python3/dist-packages/jsonschema/__init__.py:python3-jsonschema
  clang++:clang dpkg-deb:dpkg /usr/src/googletest/CMakeLists.txt:googletest"
WINDOWS_PACKAGES="x86_64-w64-mingw32-g++:g++-mingw-w64-x86-64 wine:wine /usr/lib/wine/wine64:wine64"
# clang links arm64 with the cross binutils; qemu-user runs the programs
# against Debian 12's arm64 C library and C++ run-time (libc6-arm64-cross,
# libstdc++6-arm64-cross) and the sysroot's.
ARM64_PACKAGES="aarch64-linux-gnu-ld:binutils-aarch64-linux-gnu
  /usr/aarch64-linux-gnu/lib/libc.so.6:libc6-arm64-cross
  /usr/aarch64-linux-gnu/lib/libstdc++.so.6:libstdc++6-arm64-cross qemu-aarch64:qemu-user
  /usr/src/googletest/CMakeLists.txt:googletest"
GCC_PACKAGES="g++:g++"
SERVE_PACKAGES="lighttpd:lighttpd curl:curl"
# The other CGI hosts the suites run behind.
HOSTS_PACKAGES="apache2:apache2 nginx:nginx fcgiwrap:fcgiwrap unshare:util-linux"
NETNS_PACKAGES="ip:iproute2 nft:nftables unshare:util-linux"
BROWSER_PACKAGES="chromium:chromium node:nodejs npm:npm"
LOAD_PACKAGES="wrk:wrk"
# The benchmark's limits, checked by the tests too.
LIMITS_PACKAGES="cc:gcc strace:strace /usr/bin/time:time"
BENCH_PACKAGES="$LIMITS_PACKAGES hyperfine:hyperfine nc:netcat-openbsd valgrind:valgrind"
RELEASE_PACKAGES="lintian:lintian dpkg-buildflags:dpkg-dev /usr/lib/python3/dist-packages/pefile.py:python3-pefile"
# The Windows Installer package and the signing step.
RELEASE_PACKAGES="$RELEASE_PACKAGES wixl:wixl msiinfo:msitools
  /usr/lib/python3/dist-packages/olefile/__init__.py:python3-olefile
  osslsigncode:osslsigncode openssl:openssl"
# The .rpm beside the .deb: rpmbuild for cpack, rpmlint, rpm2cpio and cpio to
# unpack it, and gpg for its signing step, with the agent that holds its
# keys (a recommends of gpg, which --no-install-recommends leaves out).
RELEASE_PACKAGES="$RELEASE_PACKAGES rpmbuild:rpm rpmlint:rpmlint rpm2cpio:rpm2cpio cpio:cpio gpg:gpg
  gpg-agent:gpg-agent"
# The package repositories: apt-ftparchive and createrepo_c make them, and the
# package test installs from them with apt and dnf, and checks with gpgv.
RELEASE_PACKAGES="$RELEASE_PACKAGES apt-ftparchive:apt-utils createrepo_c:createrepo-c dnf:dnf gpgv:gpgv"
FUZZ_PACKAGES="clang++:clang /usr/lib/llvm-14/lib/clang/14.0.6/lib/linux/libclang_rt.fuzzer-x86_64.a:libclang-rt-14-dev"
