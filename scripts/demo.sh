#!/usr/bin/env bash
# Builds the loopback collector and the example app, runs the example against a collector on a
# free local port and shows every record that arrived.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$repo"

# The build below tells plainly whether anything is still missing, so a failed install is only
# a warning here.
if [[ -x scripts/setup.sh ]] && ! scripts/setup.sh; then
    echo "demo: scripts/setup.sh failed; building with what is installed" >&2
fi

cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLMARK_BUILD_TESTS=OFF
cmake --build build/demo -j2 --target qm_collector quillmark_example

work="$(mktemp -d /tmp/quillmark-demo.XXXXXX)"
collector_pid=""
cleanup() {
    if [[ -n "$collector_pid" ]]; then
        kill -TERM "$collector_pid" 2>/dev/null || true
        wait "$collector_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

build/demo/tools/qm_collector --port 0 --port-file "$work/port" --out "$work/records.jsonl" \
    --requests "$work/requests.jsonl" --quiet-dmp 2>"$work/collector.log" &
collector_pid=$!

for _ in $(seq 100); do
    [[ -s "$work/port" ]] && break
    if ! kill -0 "$collector_pid" 2>/dev/null; then
        echo "the collector stopped at start:" >&2
        cat "$work/collector.log" >&2
        exit 1
    fi
    sleep 0.1
done
if [[ ! -s "$work/port" ]]; then
    echo "the collector did not start within 10 s" >&2
    exit 1
fi
port="$(cat "$work/port")"
echo "== collector listening on http://127.0.0.1:$port"

mkdir -p "$work/storage"
echo "== running the example"
build/demo/examples/quillmark_example http://127.0.0.1 "$port" "$work/storage"

touch "$work/records.jsonl" "$work/requests.jsonl"
echo "== $(wc -l <"$work/records.jsonl") record(s) arrived in $(wc -l <"$work/requests.jsonl") request(s)"
if command -v jq >/dev/null 2>&1; then
    # Level and body first, so the lines are easy to scan; then the whole record.
    jq -r '"[\(.logLevel // .logType // "-")] \(.body // "")\n    \(tojson)"' "$work/records.jsonl"
else
    cat "$work/records.jsonl"
fi
