#!/usr/bin/env bash
# Builds the loopback collector and the example app, runs the example against a collector on a
# free local port and shows every record that arrived. The example ends with a native crash,
# which the library reports from the dying process; quillmark-symbolicate, run from an
# installation of this build, reads the crash record the collector received into a stack, with
# the symbols the build wrote (quillmark_add_symbols).
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$repo"

# The build below tells plainly whether anything is still missing, so a failed install is only
# a warning here.
if [[ -x scripts/setup.sh ]] && ! scripts/setup.sh; then
    echo "demo: scripts/setup.sh failed; building with what is installed" >&2
fi

# The collector first; the library is built once the collector has made its certificate.
cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLMARK_BUILD_TESTS=OFF \
    -DQUILLMARK_COLLECTOR_CA=
cmake --build build/demo -j2 --target quillmark_collector

work="$(mktemp -d /tmp/quillmark-demo.XXXXXX)"
collector_pid=""
cleanup() {
    if [[ -n "$collector_pid" ]]; then
        # Run by hand, the collector and its page stay up until Enter.
        if [[ -t 0 && -n "${port:-}" ]]; then
            read -r -p "== the page stays at https://127.0.0.1:$port/ until you press Enter " _ || true
        fi
        kill -TERM "$collector_pid" 2>/dev/null || true
        wait "$collector_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# HTTPS with the collector's throw-away certificate, which the library built below pins (the
# way a deployment pins a self-signed collector), rather than switching certificate checks off.
build/demo/tools/quillmark_collector --https --cert-out "$work/collector.pem" --port 0 \
    --port-file "$work/port" --out "$work/records.jsonl" --requests "$work/requests.jsonl" \
    --quiet-dmp --page 2>"$work/collector.log" &
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
echo "== collector listening on https://127.0.0.1:$port"
echo "== its page of what arrives: https://127.0.0.1:$port/ (its certificate is self-signed)"

cmake -S . -B build/demo -DQUILLMARK_COLLECTOR_CA="$work/collector.pem" >/dev/null
cmake --build build/demo -j2 --target quillmark_example quillmark_symbolicate quillmark_symbols

mkdir -p "$work/storage"
echo "== running the example (it ends with a crash)"
status=0
build/demo/examples/quillmark_example https://127.0.0.1 "$port" "$work/storage" --crash || status=$?
echo "== the example ended with status $status (139: SIGSEGV)"

touch "$work/records.jsonl" "$work/requests.jsonl"
echo "== $(wc -l <"$work/records.jsonl") record(s) arrived in $(wc -l <"$work/requests.jsonl") request(s)"
if command -v jq >/dev/null 2>&1; then
    # Level and body first, so the lines are easy to scan; then the whole record.
    jq -r '"[\(.logLevel // .logType // "-")] \(.body // "")\n    \(tojson)"' "$work/records.jsonl"
else
    cat "$work/records.jsonl"
fi

# The library, its symbols and the tool installed as an application's build would find them.
if [[ ! -x build/demo/tools/symbolicate/quillmark-symbolicate ]]; then
    echo "== (no quillmark-symbolicate: Breakpad's tools are missing; run scripts/setup.sh)"
    exit 0
fi
cmake --install build/demo --prefix "$work/prefix" >/dev/null
# The collector printed DmpData as "<N bytes>" in its records file; its request log keeps each
# POST whole, and the tool reads either (the first says what it lacks).
echo "== the records file, whose DmpData the collector shortened:"
"$work/prefix/bin/quillmark-symbolicate" "$work/records.jsonl" || true
echo "== the crash, from the request log:"
echo "\$ quillmark-symbolicate --symbols <prefix>/share/quillmark/symbols --symbols <example's store> requests.jsonl"
"$work/prefix/bin/quillmark-symbolicate" --symbols "$work/prefix/share/quillmark/symbols" \
    --symbols build/demo/examples/quillmark_symbols/quillmark_example "$work/requests.jsonl"
