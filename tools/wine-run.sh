#!/usr/bin/env bash
# Runs a Windows program under wine without a desktop and without a question:
# the CMake emulator of the MinGW test builds, so that ctest and the test
# discovery start every test program through it.
#
# Usage: wine-run.sh <wine64|wine> <prefix-dir> <program.exe> [args...]
#        wine-run.sh <wine64|wine> <prefix-dir> --wait-server
#
# The second form waits until the prefix's wineserver, and with it every
# process it started, has ended (CI leaves nothing running).
#
# The wine prefix lives in <prefix-dir> (inside the build tree), is created on
# first use under a lock (parallel tests wait for it), and never asks to
# install Mono or Gecko. The program's exit code is this script's.
set -euo pipefail
loader=$1 prefix=$(realpath -m "$2")  # wine wants an absolute path
shift 2

# Debian's wine64 and wine32 packages keep their loaders out of PATH.
case $loader in
  wine64) wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
          server=$(command -v wineserver64 || command -v wineserver || echo /usr/lib/wine/wineserver64) ;;
  wine) wine=/usr/lib/wine/wine
        server=$(command -v wineserver32 || command -v wineserver || echo /usr/lib/wine/wineserver32)
        # A 32-bit prefix: wine does not look for a 64-bit half.
        export WINEARCH=win32 ;;
  *) echo "wine-run.sh: unknown loader '$loader' (wine64 or wine)" >&2; exit 2 ;;
esac
if [[ ! -x $wine ]]; then
  if [[ $loader == wine ]]; then
    hint="dpkg --add-architecture i386 && apt-get update && apt-get install wine32:i386"
  else
    hint="apt-get install wine64"
  fi
  echo "wine-run.sh: $loader is not installed (Debian: $hint)" >&2
  exit 2
fi

export WINEPREFIX=$prefix
export WINEDEBUG=${WINEDEBUG:--all}

if [[ ${1:-} == --wait-server ]]; then
  [[ -d $prefix ]] || exit 0
  exec "$server" -w
fi
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
# No display: wine's console programs need none, and no window may open.
unset DISPLAY WAYLAND_DISPLAY

# wineserver writes the registry files lazily, so a marker of our own says
# that the prefix is complete.
if [[ ! -f $prefix.ready ]]; then
  mkdir -p "$(dirname "$prefix")"
  (
    flock 9
    if [[ ! -f $prefix.ready ]]; then
      # A prefix that is not made in five minutes is waiting for something
      # that never comes: fail rather than hang.
      if ! timeout 300 "$wine" wineboot --init >/dev/null 2>&1 </dev/null; then
        echo "wine-run.sh: wineboot could not make the prefix $prefix" >&2
        exit 1
      fi
      touch "$prefix.ready"
    fi
  ) 9>"$prefix.lock"
fi

exec "$wine" "$@" </dev/null
