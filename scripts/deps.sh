# Sourced by the README's commands: makes sure the Debian packages a command
# needs are installed. As root it installs what is missing; otherwise it
# names the exact apt-get line and stops.
need_packages() {
  missing=""
  for pair in "$@"; do
    cmd=${pair%%:*}
    pkg=${pair#*:}
    if ! command -v "$cmd" >/dev/null 2>&1 && ! [ -e "$cmd" ]; then
      missing="$missing $pkg"
    fi
  done
  [ -z "$missing" ] && return 0
  if [ "$(id -u)" -eq 0 ]; then
    echo "installing:$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    # shellcheck disable=SC2086
    apt-get install -y -qq --no-install-recommends $missing >/dev/null
  else
    echo "missing Debian packages; install them with:" >&2
    echo "  sudo apt-get install -y --no-install-recommends$missing" >&2
    exit 1
  fi
}

BUILD_PACKAGES="cmake:cmake g++:g++ make:make python3:python3 /usr/include/gtest/gtest.h:libgtest-dev
  /usr/lib/python3/dist-packages/jsonschema/__init__.py:python3-jsonschema"
WINDOWS_PACKAGES="x86_64-w64-mingw32-g++:g++-mingw-w64-x86-64 wine:wine /usr/lib/wine/wine64:wine64"
ARM64_PACKAGES="aarch64-linux-gnu-g++:g++-aarch64-linux-gnu qemu-aarch64:qemu-user
  /usr/src/googletest/CMakeLists.txt:googletest"
CLANG_PACKAGES="clang++:clang"
SERVE_PACKAGES="lighttpd:lighttpd curl:curl"
NETNS_PACKAGES="ip:iproute2 nft:nftables"
BROWSER_PACKAGES="chromium:chromium node:nodejs npm:npm"
LOAD_PACKAGES="wrk:wrk"
BENCH_PACKAGES="hyperfine:hyperfine nc:netcat-openbsd /usr/bin/time:time"
RELEASE_PACKAGES="lintian:lintian dpkg-buildflags:dpkg-dev /usr/lib/python3/dist-packages/pefile.py:python3-pefile"
FUZZ_PACKAGES="clang++:clang /usr/lib/llvm-14/lib/clang/14.0.6/lib/linux/libclang_rt.fuzzer-x86_64.a:libclang-rt-14-dev"
