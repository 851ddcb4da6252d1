#!/usr/bin/env bash
# wine-prefix.sh ensure TEMPLATE PREFIX null|x11  -- copy the cached prefix once, start its server
# wine-prefix.sh stop PREFIX                       -- stop that prefix's wine server, unmount E:
set -u

# E: is an exFAT image mounted through FUSE on a loop device: a fixed drive that takes no hard
# link. Made only where this machine can (root, /dev/fuse, the exFAT programs); without it the
# test that needs it skips. Whatever is left from a killed run is taken down first.
exfat_down() {
  local dir="$1/test-drives/exfat" img="$1/test-drives/exfat.img" loop
  rm -f "$1/dosdevices/e:"
  if findmnt -rn --mountpoint "$dir" >/dev/null 2>&1; then
    umount "$dir" 2>/dev/null || { sleep 1; umount "$dir" 2>/dev/null; } || umount -l "$dir" 2>/dev/null
  fi
  [ -e "$img" ] || return 0
  for loop in $(losetup -n -O NAME -j "$img" 2>/dev/null); do losetup -d "$loop" 2>/dev/null; done
  rm -f "$img"
}
exfat_up() {
  local dir="$1/test-drives/exfat" img="$1/test-drives/exfat.img" loop
  if findmnt -rn --mountpoint "$dir" >/dev/null 2>&1 && [ -w "$dir" ] && [ -e "$1/dosdevices/e:" ]; then return 0; fi
  exfat_down "$1"
  [ "$(id -u)" = 0 ] && [ -c /dev/fuse ] || return 0
  command -v mkfs.exfat >/dev/null && command -v mount.exfat-fuse >/dev/null && command -v losetup >/dev/null || return 0
  mkdir -p "$dir" && truncate -s 64M "$img" && mkfs.exfat "$img" >/dev/null 2>&1 || { rm -f "$img"; return 0; }
  loop=$(losetup -f --show "$img" 2>/dev/null) || { rm -f "$img"; return 0; }
  # The FUSE daemon stays: keep it off our streams and the lock.
  if mount.exfat-fuse "$loop" "$dir" </dev/null >/dev/null 2>&1 9>&-; then
    ln -sfn "$dir" "$1/dosdevices/e:"
  else
    losetup -d "$loop"; rm -f "$img"
  fi
}
case "${1:-}" in
  ensure)
    template="$2" prefix="$3" graphics="$4"
    export WINEPREFIX="$prefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    mkdir -p "$(dirname "$prefix")"
    exec 9>"$prefix.lock"
    flock 9
    # A prefix made before the test drives below existed is made again.
    if [ ! -f "$prefix/.complete" ] || [ ! -e "$prefix/dosdevices/r:" ] ||
       ! grep -q '^"e:"="hd"' "$prefix/system.reg" 2>/dev/null; then
      [ -d "$prefix" ] && wineserver -k >/dev/null 2>&1 </dev/null 9>&-
      [ -d "$prefix" ] && exfat_down "$prefix"
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
      # E: (below) is typed a fixed disk whether or not it is mounted this time.
      wine reg add 'HKLM\Software\Wine\Drives' /v e: /t REG_SZ /d hd /f >/dev/null 2>&1 </dev/null 9>&-
      wineserver -k >/dev/null 2>&1 </dev/null 9>&-
      wineserver -w >/dev/null 2>&1 </dev/null 9>&-
      touch "$prefix/.complete"
    fi
    exfat_up "$prefix"
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
    WINEPREFIX="$2" wineserver -w >/dev/null 2>&1 </dev/null
    [ -d "$2" ] && { exec 9>"$2.lock"; flock 9; exfat_down "$2"; }
    exit 0 ;;
  *) echo "usage: wine-prefix.sh ensure TEMPLATE PREFIX null|x11 | stop PREFIX" >&2; exit 2 ;;
esac
