# Sourced by the serve-*.sh scripts that cannot run an interpreter for a
# CGI program themselves.

# The names of the variables that this script's environment hands to the
# plug-in: the node password and the test hooks when set, and what Wine
# needs when EXE runs under it.
handed_names() {
  for name in MORV_PASSWORD TARVIK_MOCK_IFACES TARVIK_MOCK_DNS TARVIK_MOCK_TIMEOUT; do
    if eval "[ \"\${$name+set}\" = set ]"; then
      echo "$name"
    fi
  done
  case "$1" in
    *.exe) echo LANG WINEDEBUG WINEPREFIX HOME ;;
  esac
}

# Sets what Wine needs in this environment, when EXE runs under it.
wine_environment() {
  case "$1" in
    *.exe)
      # Wine reads the environment's bytes in the locale's character set.
      export WINEDEBUG=-all WINEPREFIX="${WINEPREFIX:-$HOME/.wine}" LANG=C.UTF-8 ;;
  esac
}

# The program the server starts for EXE: EXE itself, or for a Windows build
# a script in STATE that runs it under Wine.
cgi_program() {
  case "$1" in
    *.exe)
      printf '#!/bin/sh\nexec %s %s\n' "$(command -v wine)" "$1" > "$2/plugin_tarvik"
      chmod 755 "$2/plugin_tarvik"
      echo "$2/plugin_tarvik" ;;
    *) echo "$1" ;;
  esac
}

# Started as root, Apache and nginx hand their work to another user and
# Apache refuses root itself. In a user namespace in which the caller is an
# ordinary user, the server keeps the caller's files (the executable, the
# Wine prefix) its own and runs as one unprivileged process tree.
as_ordinary_user() {
  if [ "$(id -u)" -eq 0 ]; then
    echo "unshare --user --map-user=40000 --map-group=40000"
  fi
}
