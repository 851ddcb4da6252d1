#!/usr/bin/env bash
# wine-prefix.sh ensure TEMPLATE PREFIX null|x11  -- copy the cached prefix once, start its server
# wine-prefix.sh stop PREFIX                       -- stop that prefix's wine server
set -u
case "${1:-}" in
  ensure)
    template="$2" prefix="$3" graphics="$4"
    export WINEPREFIX="$prefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    if [ ! -f "$prefix/.complete" ]; then
      mkdir -p "$(dirname "$prefix")"
      exec 9>"$prefix.lock"
      flock 9
      if [ ! -f "$prefix/.complete" ]; then
        rm -rf "$prefix"
        cp -a "$template" "$prefix" || exit 1
        rm -f "$prefix/.complete"
        if [ "$graphics" = null ]; then
          wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /t REG_SZ /d null /f >/dev/null 2>&1 </dev/null
        fi
        wineserver -k >/dev/null 2>&1 </dev/null
        wineserver -w >/dev/null 2>&1 </dev/null
        touch "$prefix/.complete"
      fi
      flock -u 9
    fi
    # A persistent server, detached from our streams; a second start simply finds it running.
    wineserver -p </dev/null >/dev/null 2>&1
    exit 0 ;;
  stop)
    WINEPREFIX="$2" wineserver -k >/dev/null 2>&1 </dev/null
    exit 0 ;;
  *) echo "usage: wine-prefix.sh ensure TEMPLATE PREFIX null|x11 | stop PREFIX" >&2; exit 2 ;;
esac
