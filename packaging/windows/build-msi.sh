#!/usr/bin/env bash
# Builds the Windows installer from a built Windows tree: the tree is installed (as for the ZIP)
# into a staging folder, wixl makes the MSI from VelServerMonitor.wxs and the development files
# found there, then msibuild adds what wixl has no elements for.
# Usage: build-msi.sh BUILD_DIR VERSION OUTPUT.msi
set -euo pipefail
build=$1
version=$2
output=$3
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

stage=$work/stage
cmake --install "$build" --prefix "$stage" >"$work/install.log" || { cat "$work/install.log"; exit 1; }
# The program's files are named in VelServerMonitor.wxs; a file the install tree gains outside
# include/ and lib/ must be added there, not left out of the MSI unnoticed.
named="bin/velservermonitor.exe bin/velservermonitor.exe.symbols bin/velclient.dll bin/velclient.dll.symbols bin/velservermonitor.ini.example docs/windows.md"
for f in $named; do
  [ -f "$stage/$f" ] || { echo "build-msi: $f is not in the install tree" >&2; exit 1; }
done
unnamed=$(cd "$stage" && find . -type f ! -path './include/*' ! -path './lib/*' | sed 's|^\./||' |
  grep -vxF -e "${named// /$'\n'}" || true)
[ -z "$unnamed" ] || { echo "build-msi: not in VelServerMonitor.wxs: $unnamed" >&2; exit 1; }

# The development files: the headers, and everything under lib/ (import library, CMake package).
(cd "$stage/include" && find . -type f | sort) |
  wixl-heat -p ./ --directory-ref INCLUDEDIR --component-group DevHeaders --var var.StageInclude \
  >"$work/include.wxs"
(cd "$stage/lib" && find . -type f | sort) |
  wixl-heat -p ./ --directory-ref LIBDIR --component-group DevLibraries --var var.StageLib \
  >"$work/lib.wxs"

# wixl takes sources relative to the folder it runs in.
(cd "$work" && wixl -a x64 -D Version="$version" -D Stage=stage -D StageInclude=stage/include \
  -D StageLib=stage/lib -o out.msi "$here/VelServerMonitor.wxs" include.wxs lib.wxs)

# What wixl has no elements for, added to the database (one query a line):
# - the service's delayed automatic start, and a restart a minute after each of the first three
#   failures (the count forgotten after a day without one), on install and repair;
# - the custom actions that choose CONFIG and INSTALLDIR, which must run before the costing
#   (wixl places them at the end), in both sequences;
# - a package of the same version replaces the installed one (a rebuilt package, not a second
#   product beside it);
# - every component 64-bit (wixl-heat makes them 32-bit);
# - component conditions: the service is started unless START_SERVICE=0, and the example
#   configuration is copied only to the default path (a CONFIG of the operator's is used as is);
# - the event source's key removed with the program ("-": delete the key on uninstall);
# - the configuration and the log folder kept on uninstall, an existing configuration never
#   overwritten (component attributes, below);
# - the file versions (below);
# - the properties an unattended install passes on to the installing service.
sed -e 's/@/`/g' -e "s/%VERSION%/$version/" >"$work/queries.sql" <<'SQL'
CREATE TABLE @MsiServiceConfig@ (@MsiServiceConfig@ CHAR(72) NOT NULL, @Name@ CHAR(255) NOT NULL LOCALIZABLE, @Event@ SHORT NOT NULL, @ConfigType@ LONG NOT NULL, @Argument@ CHAR(0) LOCALIZABLE, @Component_@ CHAR(72) NOT NULL PRIMARY KEY @MsiServiceConfig@)
INSERT INTO @MsiServiceConfig@ (@MsiServiceConfig@, @Name@, @Event@, @ConfigType@, @Argument@, @Component_@) VALUES ('DelayedStart', 'VelServerMonitor', 5, 3, '1', 'Service')
CREATE TABLE @MsiServiceConfigFailureActions@ (@MsiServiceConfigFailureActions@ CHAR(72) NOT NULL, @Name@ CHAR(255) NOT NULL LOCALIZABLE, @Event@ SHORT NOT NULL, @ResetPeriod@ LONG, @RebootMessage@ CHAR(255) LOCALIZABLE, @Command@ CHAR(255) LOCALIZABLE, @Actions@ CHAR(255), @DelayActions@ CHAR(255), @Component_@ CHAR(72) NOT NULL PRIMARY KEY @MsiServiceConfigFailureActions@)
INSERT INTO @MsiServiceConfigFailureActions@ (@MsiServiceConfigFailureActions@, @Name@, @Event@, @ResetPeriod@, @Actions@, @DelayActions@, @Component_@) VALUES ('RestartOnFailure', 'VelServerMonitor', 5, 86400, '1[~]1[~]1', '60000[~]60000[~]60000', 'Service')
UPDATE @Component@ SET @Condition@ = 'START_SERVICE <> "0"' WHERE @Component@ = 'ServiceStart'
UPDATE @Component@ SET @Condition@ = 'CONFIG ~= DEFAULT_CONFIG' WHERE @Component@ = 'Configuration'
UPDATE @InstallExecuteSequence@ SET @Sequence@ = 51 WHERE @Action@ = 'DefaultConfigPath'
UPDATE @InstallExecuteSequence@ SET @Sequence@ = 52 WHERE @Action@ = 'ConfigFromPrevious'
UPDATE @InstallExecuteSequence@ SET @Sequence@ = 53 WHERE @Action@ = 'ConfigFromDefault'
UPDATE @InstallExecuteSequence@ SET @Sequence@ = 54 WHERE @Action@ = 'InstallDirFromPrevious'
INSERT INTO @InstallUISequence@ (@Action@, @Sequence@) VALUES ('DefaultConfigPath', 51)
INSERT INTO @InstallUISequence@ (@Action@, @Condition@, @Sequence@) VALUES ('ConfigFromPrevious', 'NOT CONFIG AND PREVIOUS_CONFIG', 52)
INSERT INTO @InstallUISequence@ (@Action@, @Condition@, @Sequence@) VALUES ('ConfigFromDefault', 'NOT CONFIG', 53)
INSERT INTO @InstallUISequence@ (@Action@, @Condition@, @Sequence@) VALUES ('InstallDirFromPrevious', 'NOT INSTALLDIR AND PREVIOUS_INSTALLDIR', 54)
DELETE FROM @Upgrade@ WHERE @ActionProperty@ = 'WIX_UPGRADE_DETECTED'
INSERT INTO @Upgrade@ (@UpgradeCode@, @VersionMax@, @Attributes@, @ActionProperty@) VALUES ('{447B491E-DB1F-46CD-B776-AE67D5523875}', '%VERSION%', 513, 'WIX_UPGRADE_DETECTED')
INSERT INTO @Registry@ (@Registry@, @Root@, @Key@, @Name@, @Component_@) VALUES ('EventSourceKey', 2, 'SYSTEM\CurrentControlSet\Services\EventLog\Application\velservermonitor', '-', 'Service')
SQL
if ! msiinfo export "$work/out.msi" InstallExecuteSequence | grep -q '^MsiConfigureServices'; then
  echo "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('MsiConfigureServices', 5850)" >>"$work/queries.sql"
fi
# The programs' file versions, read from their version resources (wixl leaves them empty, and
# Windows Installer would then treat them as unversioned files). The DLL has none yet.
file_version() {
  python3 - "$1" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read()
at = data.find(struct.pack("<I", 0xFEEF04BD))  # VS_FIXEDFILEINFO's signature
ms, ls = struct.unpack_from("<II", data, at + 8)
print("%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF) if at >= 0 else "")
PY
}
for f in velservermonitor.exe velclient.dll; do
  v=$(file_version "$stage/bin/$f")
  if [ -n "$v" ]; then
    echo "UPDATE \`File\` SET \`Version\` = '$v' WHERE \`File\` = '$f'" >>"$work/queries.sql"
  elif [ $f = velservermonitor.exe ]; then
    echo "build-msi: $f has no version resource" >&2; exit 1
  fi
done
# Component attributes: 16 permanent, 128 never overwrite an existing key path. After them,
# every component still 32-bit (0) becomes 64-bit (256).
attributes() {
  msiinfo export "$work/out.msi" Component | tr -d '\r' | awk -F'\t' -v c="$1" '$1 == c { print $4 }'
}
for component in Configuration:144 LogsFolder:16; do
  name=${component%%:*}
  value=$(($(attributes "$name") | ${component##*:}))
  echo "UPDATE \`Component\` SET \`Attributes\` = $value WHERE \`Component\` = '$name'" >>"$work/queries.sql"
done
echo "UPDATE \`Component\` SET \`Attributes\` = 256 WHERE \`Attributes\` = 0" >>"$work/queries.sql"
secure=$(msiinfo export "$work/out.msi" Property | sed -n 's/^SecureCustomProperties\t//p' | tr -d '\r')
secure="${secure:+$secure;}CONFIG;INSTALLDIR;START_SERVICE"
cat >>"$work/queries.sql" <<SQL
DELETE FROM \`Property\` WHERE \`Property\` = 'SecureCustomProperties'
INSERT INTO \`Property\` (\`Property\`, \`Value\`) VALUES ('SecureCustomProperties', '$secure')
SQL
# One msibuild for all: each run rewrites the whole package.
args=()
while IFS= read -r query; do args+=(-q "$query"); done <"$work/queries.sql"
msibuild "$work/out.msi" "${args[@]}"

mv "$work/out.msi" "$output"
