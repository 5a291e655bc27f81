#!/usr/bin/env bash
# Builds the loopback collector and the example app, runs the example against a collector on a
# free local port and shows every record that arrived. The example ends with a native crash,
# which the library reports from the dying process; when Breakpad's minidump_stackwalk is at
# hand the crashed thread's stack is shown, with symbols made by dump_syms.
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
    --quiet-dmp 2>"$work/collector.log" &
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

cmake -S . -B build/demo -DQUILLMARK_COLLECTOR_CA="$work/collector.pem" >/dev/null
cmake --build build/demo -j2 --target quillmark_example

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

# The collector printed DmpData as "<N bytes>"; the request log keeps the whole Base64 text.
breakpad_bin="third_party/minidump-0.26.0/package/bin/linux-x64"
if [[ -x "$breakpad_bin/minidump_stackwalk" ]] && command -v jq >/dev/null 2>&1; then
    jq -r '.body | fromjson? | .[]? | .DmpData // empty' "$work/requests.jsonl" | tail -n 1 |
        base64 -d >"$work/crash.dmp" 2>/dev/null || true
    if [[ -s "$work/crash.dmp" ]]; then
        # The real file, not a symlink: the dump names the module by the file that was mapped.
        for binary in build/demo/examples/quillmark_example "$(readlink -f build/demo/src/libquillmark.so)"; do
            "$breakpad_bin/dump_syms" "$binary" >"$work/module.sym" 2>/dev/null || continue
            read -r _ _ _ id name <"$work/module.sym"
            mkdir -p "$work/symbols/$name/$id"
            mv "$work/module.sym" "$work/symbols/$name/$id/$name.sym"
        done
        echo "== the crash, from the minidump the collector received ($(stat -c %s "$work/crash.dmp") bytes)"
        # The reason, then the crashed thread's frames without their register dumps. A frame
        # found by scanning the stack for return addresses is a guess, and so is every frame
        # unwound from it: they are left out.
        "$breakpad_bin/minidump_stackwalk" "$work/crash.dmp" "$work/symbols" 2>/dev/null |
            awk '/^Crash reason|^Crash address/ { print }
                 !done && /\(crashed\)$/ { shown = 1; print; next }
                 shown && /^$/ { shown = 0; done = 1 }
                 shown && /^ *[0-9]+  / { frame = $0 }
                 shown && /Found by:/ { if (/scanning/) guessed = 1; if (guessed) left++; else print frame }
                 END { if (left) print "    (" left " more frames, found by scanning the stack, left out)" }'
    fi
else
    echo "== (minidump_stackwalk or jq missing: run scripts/setup.sh to see the crash stack)"
fi
