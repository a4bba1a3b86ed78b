#!/usr/bin/env bash
# An application built outside the tree against the installed Windows package, its
# velclient.dll found on the search path in the package's bin folder (not beside the
# program): its reports carry the program's name and go to the program's folder.
# Usage: test_installed_dll_win32.sh SOURCE_DIR BINARY_DIR WINE
set -euo pipefail
source_dir=$1 binary_dir=$2 wine=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$binary_dir" --prefix "$work/prefix" >/dev/null
cmake -S "$source_dir/tests/client_dll/consumer" -B "$work/build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-x86_64.cmake" \
  -DVelServerMonitor_DIR="$work/prefix/lib/cmake/VelServerMonitor" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$work/configure.log" ||
  { cat "$work/configure.log"; exit 1; }
cmake --build "$work/build" >"$work/build.log" || { cat "$work/build.log"; exit 1; }
mkdir "$work/app"
cp "$work/build/shop.exe" "$work/app/"

winpath() { printf 'Z:%s' "${1//\//\\}"; }
out=$(WINEPATH="$(winpath "$work/prefix/bin")" "$wine" "$work/app/shop.exe" 2>/dev/null | tr -d '\r')
echo "$out"
fail=0
expect() { grep -qxF "$1" <<<"$out" || { echo "expected: $1"; fail=1; }; }
expect "app=$(winpath "$work/app/shop.exe")"
expect "source=shop"
expect "folder=$(winpath "$work/app/ErrorLog")\\"
logs=("$work"/app/ErrorLog/shop@*.Log)
[ -f "${logs[0]}" ] || { echo "no shop@*.Log in the program's folder"; ls -R "$work/app"; exit 1; }
grep -q "^Application Name   : shop.exe"$'\r'"$" "${logs[0]}" ||
  { echo "report does not name shop.exe:"; cat "${logs[0]}"; fail=1; }
if [ -e "$work/prefix/bin/ErrorLog" ]; then echo "a report went to the DLL's folder"; fail=1; fi
[ $fail = 0 ] && echo "installed DLL: the application is named by its own executable"
exit $fail
