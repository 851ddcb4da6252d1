#!/bin/sh
# Runs the full-disk test: mounts a 32 KiB tmpfs (smaller than the test's output), which Wine
# sees through its Z: drive, runs the test against it and unmounts it again.
# Exit code 77 (skipped) where this sandbox does not permit mounting.
set -u
run="$1" exe="$2" mountpoint="$3"
mkdir -p "$mountpoint" || exit 77
if ! mount -t tmpfs -o size=32k,mode=0777 vellumora-small-disk "$mountpoint" 2>/dev/null; then
  echo "mounting a tmpfs is not permitted here: skipped"
  exit 77
fi
VELLUMORA_SMALL_DISK="$mountpoint" "$run" "$exe" --gtest_also_run_disabled_tests --gtest_filter='FaultTest.DISABLED_DiskFullDuringTheWrite'
rc=$?
umount "$mountpoint" || umount -l "$mountpoint"
exit $rc
