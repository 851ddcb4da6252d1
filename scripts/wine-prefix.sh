#!/usr/bin/env bash
# wine-prefix.sh ensure TEMPLATE PREFIX null|x11  -- copy the cached prefix once, start its server
# wine-prefix.sh stop PREFIX                       -- stop that prefix's wine server
set -u
case "${1:-}" in
  ensure)
    template="$2" prefix="$3" graphics="$4"
    export WINEPREFIX="$prefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    mkdir -p "$(dirname "$prefix")"
    exec 9>"$prefix.lock"
    flock 9
    # A prefix made before the test drives below existed is made again.
    if [ ! -f "$prefix/.complete" ] || [ ! -e "$prefix/dosdevices/r:" ]; then
      [ -d "$prefix" ] && wineserver -k >/dev/null 2>&1 </dev/null 9>&-
      rm -rf "$prefix"
      cp -a "$template" "$prefix" || exit 1
      rm -f "$prefix/.complete"
      if [ "$graphics" = null ]; then
        wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /t REG_SZ /d null /f >/dev/null 2>&1 </dev/null 9>&-
      fi
      # Two more drives for the tests of places that cannot recycle safely: R: removable and
      # N: a network drive (Wine takes a drive's type from this key; both take hard links).
      for drive in r:removable:floppy n:network:network; do
        IFS=: read -r letter folder type <<<"$drive"
        mkdir -p "$prefix/test-drives/$folder"
        ln -sfn "$prefix/test-drives/$folder" "$prefix/dosdevices/$letter:"
        wine reg add 'HKLM\Software\Wine\Drives' /v "$letter:" /t REG_SZ /d "$type" /f >/dev/null 2>&1 </dev/null 9>&-
      done
      wineserver -k >/dev/null 2>&1 </dev/null 9>&-
      wineserver -w >/dev/null 2>&1 </dev/null 9>&-
      touch "$prefix/.complete"
    fi
    # Start a persistent server (exit code 2: one is already running) and let the first
    # program start Wine's background services, all detached from our streams: they live as
    # long as the server, and CTest would otherwise wait for the pipes they inherited.
    if wineserver -p </dev/null >/dev/null 2>&1 9>&-; then
      wine cmd /c exit </dev/null >/dev/null 2>&1 9>&-
    fi
    flock -u 9
    exit 0 ;;
  stop)
    WINEPREFIX="$2" wineserver -k >/dev/null 2>&1 </dev/null
    exit 0 ;;
  *) echo "usage: wine-prefix.sh ensure TEMPLATE PREFIX null|x11 | stop PREFIX" >&2; exit 2 ;;
esac
