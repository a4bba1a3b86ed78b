#!/usr/bin/env bash
# Installs the build into a temp prefix, then builds the sample application as an outside
# project would (find_package(VelServerMonitor) -> VelServerMonitor::client) and runs it.
set -euo pipefail
source_dir=$1 binary_dir=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$binary_dir" --prefix "$work/prefix" >/dev/null
test -x "$work/prefix/bin/velservermonitor"
test -f "$work/prefix/share/man/man1/velservermonitor.1"
test -f "$work/prefix/lib/systemd/system/velservermonitor.service"
grep -qx "LogPath=/var/log/velservermonitor/" "$work/prefix/etc/velservermonitor/velservermonitor.ini"

mkdir "$work/consumer"
sed "s|@VEL_SOURCE_DIR@|$source_dir|" "$source_dir/tests/package/CMakeLists.txt.in" \
  >"$work/consumer/CMakeLists.txt"
cmake -S "$work/consumer" -B "$work/build" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/build" >/dev/null

mkdir "$work/logs"
LD_LIBRARY_PATH="$work/prefix/lib" "$work/build/demo-app" --name Consumer \
  --log-folder "$work/logs" --status-channel "vel_package_test_$$"
count=$(find "$work/logs" -name 'Consumer@*.Log' | wc -l)
if [ "$count" -ne 2 ]; then
  echo "expected 2 exception logs, found $count"; exit 1
fi
grep -q "Exception class    : demo::OrderError" "$work/logs"/Consumer@*.Log
echo "installed package: 1 passed, 0 failed"
