#!/usr/bin/env bash
# The metrics file read by its real consumers: metrics_file_test.exe (under Wine) writes the
# files of two instances into one folder (a mixed group and a group sharing two of its
# services) and a file of names that need escapes, with the lines the exporter's page must (+)
# and must not (-) show; then promtool checks each file and a node exporter on loopback, with
# only its textfile collector over the folder, serves the folder whole: every file read, no
# series twice.
# Arguments: the test program, the Wine runner.
set -uo pipefail
test_exe=$1
wine_run=$2

fail() { echo "FAIL: $*" >&2; exit 1; }
for tool in promtool prometheus-node-exporter curl winepath; do
  command -v "$tool" >/dev/null ||
    fail "$tool is missing (tools/install-deps installs prometheus, prometheus-node-exporter and curl)"
done

work=$(mktemp -d /tmp/tendro-consumers.XXXXXX)
exporter_pid=
cleanup() {
  if [ -n "$exporter_pid" ]; then
    kill "$exporter_pid" 2>/dev/null
    wait "$exporter_pid" 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

build=$(cd "$(dirname "$test_exe")/.." && pwd)
windows_dir=$(WINEPREFIX="$build/wineprefix" WINEDEBUG=-all winepath -w "$work" 2>/dev/null)
[ -n "$windows_dir" ] || fail "winepath gave no Windows path for $work"
TENDRO_CONSUMER_DIR=$windows_dir "$wine_run" "$test_exe" --gtest_color=no \
  --gtest_filter=MetricsConsumers.FilesForPromtoolAndNodeExporter ||
  fail "the test program did not write the files"

# Starts the exporter over folder $1 on a free loopback port and leaves its page in $2.
scrape() {
  local folder=$1 page=$2 port attempt
  for attempt in 1 2 3 4 5; do
    port=$((20000 + RANDOM % 40000))
    prometheus-node-exporter --web.listen-address="127.0.0.1:$port" \
      --collector.disable-defaults --web.disable-exporter-metrics \
      --collector.textfile --collector.textfile.directory="$folder" \
      >"$work/exporter.log" 2>&1 &
    exporter_pid=$!
    for _ in $(seq 1 100); do
      if curl -fsS --max-time 5 "http://127.0.0.1:$port/metrics" -o "$page" 2>/dev/null; then
        kill "$exporter_pid"; wait "$exporter_pid" 2>/dev/null; exporter_pid=
        return 0
      fi
      kill -0 "$exporter_pid" 2>/dev/null || break  # it could not listen: another port
      sleep 0.1
    done
    kill "$exporter_pid" 2>/dev/null; wait "$exporter_pid" 2>/dev/null; exporter_pid=
  done
  cat "$work/exporter.log" >&2
  fail "node exporter served no page"
}

for set in run odd; do
  folder=$work/$set
  proms=$(ls "$folder"/*.prom 2>/dev/null)
  [ -n "$proms" ] || fail "no .prom file in $folder"
  ls "$folder" | grep -v -e '\.prom$' -e '^expected\.txt$' && fail "other files left in $folder"
  for prom in $proms; do
    # promtool reports problems (also mere lint findings) on its output and in its exit code.
    report=$(promtool check metrics <"$prom" 2>&1); status=$?
    [ $status -eq 0 ] && [ -z "$report" ] || fail "promtool on $prom (exit $status): $report"
  done

  page=$work/$set.page
  scrape "$folder" "$page"
  grep -qx 'node_textfile_scrape_error 0' "$page" ||
    fail "the exporter could not read $folder: $(grep -i textfile "$page")"
  # Every file was read, and no series came twice (the exporter logs such a series as
  # "collected before" and leaves the samples of one file out).
  for prom in $proms; do
    grep -qF "node_textfile_mtime_seconds{file=\"$(basename "$prom")\"}" "$page" ||
      grep -qF "node_textfile_mtime_seconds{file=\"$prom\"}" "$page" ||
      fail "the exporter did not read $prom"
  done
  grep -qi 'collected before' "$work/exporter.log" &&
    fail "series collected twice: $(grep -i 'collected before' "$work/exporter.log" | head -3)"
  twice=$(grep '^tendro_' "$page" | sed 's/ [^ ]*$//' | sort | uniq -d)
  [ -z "$twice" ] || fail "series on the page twice: $twice"
  # Only the textfile collector ran.
  grep -q '^node_scrape_collector_success{collector="textfile"} 1$' "$page" ||
    fail "the textfile collector did not succeed"
  others=$(grep '^node_scrape_collector_success' "$page" | grep -v 'collector="textfile"')
  [ -z "$others" ] || fail "other collectors ran: $others"
  while IFS= read -r line; do
    want=${line:2}
    case $line in
      "+ "*) grep -qF -- "$want" "$page" || fail "$set: the exporter's page lacks: $want" ;;
      "- "*) grep -qF -- "$want" "$page" && fail "$set: the exporter's page shows: $want" ;;
    esac
  done <"$folder/expected.txt"
  echo "$set: promtool and node exporter agree ($(grep -c '^tendro_' "$page") tendro samples)"
done
echo "PASS"
