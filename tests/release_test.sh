#!/usr/bin/env bash
# The release end to end: tools/release run as a maintainer runs it, and its MSI installed as
# an administrator installs it, under Wine.
#   release_test.sh SOURCE_DIR BUILD_DIR
# - two releases of the same sources from folders at different paths, the second signed with a
#   certificate made here (its own CA): `osslsigncode verify` accepts its tendro.exe and MSI
#   against that CA; without its signature its tendro.exe is the first release's, byte for
#   byte, and so is the tendro.exe of the checkout's own build; the zips hold the same four files in the same order with the same times (the commit's);
#   SHA256SUMS passes `sha256sum -c`; tendro.exe carries the project's version, no link time
#   stamp, no symbols, no build path; the unsigned release says that it is unsigned.
#   The compiler cache (when there is one) shares the objects of the builds: tools/release
#   itself (without --no-verify) proves the same without the cache, and compares the zips
#   byte for byte;
# - the MSI under Wine: a refused option fails the install with Tendro's Err! line in the MSI
#   log and leaves nothing; a plain install (tendro.exe runs, the Event Log source's values);
#   an upgrade in place; the fleet form (a Tendro service over a fixture service, started; its
#   -l password in no line of Tendro's; a relative path refused); the
#   rollback of the fleet install set to uninstall the new service; the uninstall removes the
#   service, the file, the folder, the values and the product.
# No network: no time-stamp server is named.
set -euo pipefail
src=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
unset TENDRO_SIGN_PFX TENDRO_SIGN_PASS_FILE TENDRO_SIGN_TIMESTAMP_URL TENDRO_RELEASE_WORK
export TENDRO_WINEPREFIX=$build/wineprefix CCACHE_DIR=${CCACHE_DIR:-$build/ccache}
tmp=$(mktemp -d "${TMPDIR:-/tmp}/tendro-release-test.XXXXXX")
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
check() { local what=$1; shift; if "$@"; then echo "ok ($SECONDS s): $what"; else fail "$what"; fi; }
wine_run() { (cd "$build" && "$src/tools/wine-run" "$@"); }
# Windows paths of Linux files (Wine's Z: drive).
winpath() { echo "Z:${1//\//\\}"; }

service=TendroRel$$
fixture=TendroRelFix$$
program_files="$TENDRO_WINEPREFIX/drive_c/Program Files/Tendro"
source_key='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Tendro'
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'

cleanup() {
  set +e
  # Whatever a failed step left: the product, the services, the fixture's copy, the log.
  for msi in "$tmp"/upgrade.msi "$tmp"/dist-a/*.msi; do
    [ -f "$msi" ] && wine_run msiexec /x "$(winpath "$msi")" /qn >/dev/null 2>&1
  done
  for name in "$service" "$fixture"; do
    wine_run sc stop "$name" >/dev/null 2>&1
    wine_run sc delete "$name" >/dev/null 2>&1
  done
  rm -rf "$TENDRO_WINEPREFIX/drive_c/ProgramData/Tendro/$service.log" "$tmp"
}
trap cleanup EXIT

# --- Two releases at different paths, one of them signed -------------------------------------
cert=$tmp/cert
mkdir -p "$cert"
(
  cd "$cert"
  openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 3650 \
    -subj "/CN=Tendro Release Test CA" -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign" 2>/dev/null
  openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr \
    -subj "/CN=Tendro Release Test Signer" 2>/dev/null
  printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >signer.ext
  openssl x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out signer.pem \
    -days 3650 -extfile signer.ext 2>/dev/null
  printf 'a pass phrase' >pass.txt
  openssl pkcs12 -export -inkey signer.key -in signer.pem -certfile ca.pem -out signer.pfx \
    -passout file:pass.txt
)

release() {  # WORK DIST [env...]: tools/release of the working tree, its output in WORK.log
  local work=$1 dist=$2; shift 2
  (cd "$src" && env "$@" TENDRO_RELEASE_WORK="$work" "$src/tools/release" --dirty --no-verify \
     --dist="$dist") >"$work.log" 2>&1 || { cat "$work.log" >&2; fail "tools/release in $work"; exit 1; }
}
b="$tmp/a folder somewhere much deeper/b"
mkdir -p "$tmp/a" "$b"
release "$tmp/a" "$tmp/dist-a"
release "$b" "$tmp/dist-b" TENDRO_SIGN_PFX="$cert/signer.pfx" TENDRO_SIGN_PASS_FILE="$cert/pass.txt"

version=$(sed -n 's/^project(Tendro VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
zip=tendro-$version-win-x64.zip
msi=tendro-$version-x64.msi
for d in a b; do
  check "release $d: the zip, the MSI and SHA256SUMS" test -f "$tmp/dist-$d/$zip" -a -f "$tmp/dist-$d/$msi"
  check "release $d: sha256sum -c SHA256SUMS" bash -c "cd '$tmp/dist-$d' && sha256sum --quiet -c SHA256SUMS"
done
check "the unsigned release says so" grep -q "UNSIGNED release" "$tmp/a.log"
check "the signed release says so" grep -q "signed tendro.exe and the MSI with signer.pfx, without a time stamp" "$b.log"
for d in a b; do mkdir -p "$tmp/unzip-$d" && unzip -q "$tmp/dist-$d/$zip" -d "$tmp/unzip-$d"; done
exe=$tmp/unzip-a/tendro.exe
osslsigncode remove-signature -in "$tmp/unzip-b/tendro.exe" -out "$tmp/unsigned-b.exe" >/dev/null
check "tendro.exe is the same bytes from both paths (the signed one without its signature)" \
  cmp "$exe" "$tmp/unsigned-b.exe"
# The test's own build (at the checkout's path, built apart from the releases) gives the same.
if grep -qx 'CMAKE_BUILD_TYPE:STRING=Release' "$build/CMakeCache.txt"; then
  check "tendro.exe of the checkout's own build is the same bytes" cmp "$exe" "$build/bin/tendro.exe"
else
  echo "skipped: the checkout's build is not a Release build (no comparison with its tendro.exe)"
fi
# The zips differ by the signature only: the same entries, times, modes and other files.
# (Byte for byte equal zips of two builds: tools/release's own check without --no-verify.)
zip_entries() { TZ=UTC zipinfo -l "$1" | awk '/^-/{print $1, $8, $9, $10}'; }
check "both zips hold the same entries with the same times and modes" \
  test "$(zip_entries "$tmp/dist-a/$zip")" = "$(zip_entries "$tmp/dist-b/$zip")"
for f in README.md LICENSE CHANGES.md; do
  check "$f is the same in both zips" cmp "$tmp/unzip-a/$f" "$tmp/unzip-b/$f"
done
check "the zip holds tendro.exe, README.md, LICENSE, CHANGES.md in that order" \
  test "$(zipinfo -1 "$tmp/dist-a/$zip" | tr '\n' ' ')" = "tendro.exe README.md LICENSE CHANGES.md "
# A zip keeps times to two seconds (rounded down).
commit_time=$(git -C "$src" log -1 --format=%ct)
check "the zip's times are the commit's" \
  test "$(TZ=UTC zipinfo -T -l "$tmp/dist-a/$zip" | awk '/^-/{print $8}' | sort -u)" = \
       "$(TZ=UTC date -d "@$((commit_time - commit_time % 2))" +%Y%m%d.%H%M%S)"

# Signatures against the test CA; the signed tendro.exe without its signature is the unsigned.
for f in "$tmp/unzip-b/tendro.exe" "$tmp/dist-b/$msi"; do
  check "osslsigncode verify $(basename "$f")" \
    bash -c "osslsigncode verify -CAfile '$cert/ca.pem' -in '$f' 2>&1 | grep -q 'Signature verification: ok'"
done
check "the unsigned tendro.exe carries no signature" \
  bash -c "! osslsigncode verify -CAfile '$cert/ca.pem' -in '$exe' >/dev/null 2>&1"

# tendro.exe: the version resource, no link time stamp, no symbols, no build path.
check "the version resource holds $version.0" \
  bash -c "strings -el '$exe' | grep -A1 -x FileVersion | grep -qx '$version.0'"
check "no link time stamp" \
  bash -c "TZ=UTC x86_64-w64-mingw32-objdump -p '$exe' | grep -q 'Time/Date.*Jan  1 00:00:00 1970'"
check "stripped: no symbol table" \
  bash -c "x86_64-w64-mingw32-objdump -t '$exe' | grep -q 'no symbols'"
check "no build path in tendro.exe" bash -c "! grep -a -q -F -e '$tmp' -e '$src' -e '$build' '$exe'"

# --- The MSI under Wine -----------------------------------------------------------------------
msi_win=$(winpath "$tmp/dist-a/$msi")
log=$tmp/msi.log
log_win=$(winpath "$log")
installed() { [ -f "$program_files/tendro.exe" ]; }
source_value() { wine_run reg query "$source_key" /v "$1" /reg:64 2>/dev/null | tr -d '\r' | grep -F "$1"; }
# The versions of the products named Corvanta Tendro, one a line (Wine's reg has no /f).
tendro_products() {
  wine_run reg query "$uninstall_key" /s /reg:64 2>/dev/null | tr -d '\r' | awk '
    function flush() { if (name == "Corvanta Tendro") print version; name = version = "" }
    /^HKEY/ { flush() }
    $1 == "DisplayName" { name = substr($0, index($0, "REG_SZ") + 10) }
    $1 == "DisplayVersion" { version = $3 }
    END { flush() }'
}
nothing_left() {
  ! installed && [ ! -d "$program_files" ] && ! wine_run reg query "$source_key" /reg:64 >/dev/null 2>&1 &&
    [ -z "$(tendro_products)" ]
}
service_state() { wine_run sc query "$1" 2>/dev/null | tr -d '\r' | awk '/STATE/{print $4}'; }

# A refused option: the MSI fails, its log holds Tendro's Err! line, nothing is left.
status=0
wine_run msiexec /i "$msi_win" /qn /l*v "$log_win" SERVICE="$service" OPTIONS="-s web --bogus" || status=$?
check "a refused option fails the MSI" test "$status" -ne 0
check "the MSI log holds the Err! line" grep -q "Tendro: Err!: .*Unknown option --bogus" "$log"
check "the failed install leaves nothing" nothing_left
# A SERVICE that would add options of its own to the actions' command lines: refused at once.
status=0
wine_run msiexec /i "$msi_win" /qn /l*v "$log_win" SERVICE='X" "--uninstall-all' OPTIONS="-s web" || status=$?
check "a SERVICE holding a quote fails the MSI" test "$status" -ne 0
check "the MSI log says why" grep -qF 'is refused: a service name holds no' "$log"
# The installer's actions run in the system folder: a relative path is refused there.
status=0
wine_run msiexec /i "$msi_win" /qn /l*v "$log_win" SERVICE="$service" OPTIONS="-s web --log-file=web.log" || status=$?
check "a relative path fails the MSI" test "$status" -ne 0
check "the MSI log says why" grep -q "Tendro: Err!: .*--log-file=web.log: a relative path would start from" "$log"

# A plain install: the file, the values, a tendro.exe that runs.
check "msiexec /i /qn" wine_run msiexec /i "$msi_win" /qn
check "the product is registered" test "$(tendro_products)" = "$version"
check "tendro.exe in Program Files\\Tendro" installed
message_file_ok() { source_value EventMessageFile | grep -qF 'C:\Program Files\Tendro\tendro.exe'; }
types_ok() { source_value TypesSupported | grep -q 'REG_DWORD *0x7'; }
check "EventMessageFile is the installed tendro.exe" message_file_ok
check "TypesSupported is 7" types_ok
help=$(wine_run 'C:\Program Files\Tendro\tendro.exe' -h 2>&1 | iconv -f UTF-16LE -t UTF-8 2>/dev/null | tr -d '\r' || true)
check "the installed tendro.exe runs and names version $version" \
  grep -qF "Service Monitoring Utility v$version" <<<"$help"

# An upgrade in place: a later version of the same UpgradeCode replaces this one.
(cd "$tmp/a/a/msi" && wixl -a x64 -D Version=99.0.0 -D TendroExe=tendro.exe \
   -D ActionsDll=tendro_msi_actions.dll -o "$tmp/upgrade.msi" "$src/packaging/tendro.wxs") >/dev/null 2>&1
check "msiexec /i of a later version" wine_run msiexec /i "$(winpath "$tmp/upgrade.msi")" /qn
check "one product left, the later one" test "$(tendro_products)" = 99.0.0
check "the upgrade kept the file" installed
check "msiexec /x of the later version" wine_run msiexec /x "$(winpath "$tmp/upgrade.msi")" /qn
check "the uninstall leaves nothing" nothing_left

# The fleet form: a Tendro service over a fixture service, installed and started by the MSI.
wine_run sc create "$fixture" binPath= "$(winpath "$build/bin/svcfixture.exe") --name $fixture" >/dev/null
wine_run sc start "$fixture" >/dev/null
service_gone() { ! wine_run sc query "$service" >/dev/null 2>&1; }
# A later step that fails (an action added after the install's): the rollback is set to
# uninstall the new service, just before the install. Wine's msiexec runs no rollback (the
# file stays too), so what it left is removed here.
sed 's|</InstallExecuteSequence>|<Custom Action="ForceFail" Sequence="6595">SERVICE</Custom>&<CustomAction Id="ForceFail" BinaryKey="TendroActions" DllEntry="InstallTendroService" Execute="deferred" Impersonate="no" Return="check"/>|' \
  "$src/packaging/tendro.wxs" >"$tmp/failing.wxs"
(cd "$tmp/a/a/msi" && wixl -a x64 -D Version=$version -D TendroExe=tendro.exe \
   -D ActionsDll=tendro_msi_actions.dll -o "$tmp/failing.msi" "$tmp/failing.wxs") >/dev/null 2>&1
status=0
wine_run msiexec /i "$(winpath "$tmp/failing.msi")" /qn /l*v "$log_win" SERVICE="$service" OPTIONS="-f 30 -s $fixture" || status=$?
check "a failure after the fleet install fails the MSI" test "$status" -ne 0
check "the rollback is scheduled just before the install" \
  bash -c "grep -a '^Action start' '$log' | grep -A1 -F RollbackTendroService. | grep -q -F InstallTendroService."
check "the rollback uninstalls the new service" \
  grep -a -q -F "RollbackTendroService = \"C:\\Program Files\\Tendro\\tendro.exe\" \"--uninstall=$service\"" "$log"
wine_run sc stop "$service" >/dev/null 2>&1; wine_run sc delete "$service" >/dev/null 2>&1
rm -rf "$program_files"

check "msiexec /i /qn SERVICE= OPTIONS=" \
  wine_run msiexec /i "$msi_win" /qn /l*v "$log_win" SERVICE="$service" \
  OPTIONS="-f 30 -s $fixture --watch -l made-up-host=bob:Pw9secret@corp"
check "the MSI log holds the install's lines" grep -q "Tendro: Init: .*Installed service $service" "$log"
# (Wine's msiexec ignores MsiHiddenProperties: its property list at the end shows OPTIONS.)
check "no -l password in Tendro's lines of the MSI log" bash -c "! grep -a '^Tendro' '$log' | grep -q Pw9secret"
check "the Options line masks it" grep -a -q "Tendro: Init: .*Options: .*made-up-host=bob:\*\*\*\*\*\*\*\*\*@corp" "$log"
check "the Tendro service runs" test "$(service_state "$service")" = RUNNING
check "msiexec /x /qn" wine_run msiexec /x "$msi_win" /qn /l*v "$log_win"
check "the uninstall removed the Tendro service" service_gone
check "the MSI log names it" grep -q "Tendro: Init: .*Stopped and removed service $service" "$log"
check "the fixture service is left running" test "$(service_state "$fixture")" = RUNNING
check "the uninstall leaves nothing" nothing_left

echo "$failures failure(s)"
[ "$failures" = 0 ]
