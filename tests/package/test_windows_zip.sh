#!/usr/bin/env bash
# Builds the Windows ZIP with cpack from a built Windows tree and checks what it holds.
# Usage: test_windows_zip.sh BUILD_DIR VERSION
set -euo pipefail
build=$1
version=$2
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

(cd "$build" && cpack -G ZIP -B "$out" >"$out/cpack.log" 2>&1) || { cat "$out/cpack.log"; exit 1; }
zip="$out/VelServerMonitor-$version-win64.zip"
[ -f "$zip" ] || { echo "missing $zip"; ls "$out"; exit 1; }
top=VelServerMonitor-$version-win64
listing=$(unzip -Z1 "$zip")
fail=0
for entry in bin/velservermonitor.exe bin/velclient.dll lib/libvelclient.dll.a \
             bin/velservermonitor.exe.symbols bin/velclient.dll.symbols \
             bin/velservermonitor.ini.example docs/windows.md \
             include/velservermonitor/exceptionlog/ExceptionLogger.h \
             include/velservermonitor/mailslot/ServerMonitorClient.h \
             include/velservermonitor/VelVersion.h \
             lib/cmake/VelServerMonitor/VelServerMonitorConfig.cmake \
             lib/cmake/VelServerMonitor/VelServerMonitorTargets.cmake; do
  grep -qx "$top/$entry" <<<"$listing" || { echo "missing in the ZIP: $entry"; fail=1; }
done
# Nothing of Linux's: no unit file, no man page.
if grep -E 'systemd|man1|\.so' <<<"$listing"; then echo "Linux files in the ZIP"; fail=1; fi

unzip -q "$zip" -d "$out/x"
root="$out/x/$top"
# The program needs no mingw DLL and carries its manifest and version.
deps=$(x86_64-w64-mingw32-objdump -p "$root/bin/velservermonitor.exe" | sed -n 's/.*DLL Name: //p')
if grep -iE 'libstdc|libgcc|libwinpthread' <<<"$deps"; then echo "needs a mingw DLL"; fail=1; fi
grep -q 'requestedExecutionLevel' "$root/bin/velservermonitor.exe" ||
  { echo "no manifest in the executable"; fail=1; }
LC_ALL=C grep -qaP 'V\x00S\x00_\x00V\x00E\x00R\x00S\x00I\x00O\x00N\x00_\x00I\x00N\x00F\x00O' \
  "$root/bin/velservermonitor.exe" || { echo "no version resource in the executable"; fail=1; }
# The example uses Windows paths and CR LF line ends.
grep -q 'LogPath=C:\\ProgramData\\VelServerMonitor\\Logs\\' "$root/bin/velservermonitor.ini.example" ||
  { echo "example without Windows paths"; fail=1; }
if grep -q '/var/' "$root/bin/velservermonitor.ini.example"; then echo "Linux path in example"; fail=1; fi
[ "$(grep -c $'\r$' "$root/bin/velservermonitor.ini.example")" = \
  "$(wc -l <"$root/bin/velservermonitor.ini.example")" ] || { echo "example not CR LF"; fail=1; }
grep -q -- '--install --config C:\\' "$root/docs/windows.md" || { echo "docs lack install"; fail=1; }
[ $fail = 0 ] && echo "ZIP ok: $(wc -l <<<"$listing") entries"
exit $fail
