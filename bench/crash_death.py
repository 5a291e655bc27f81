#!/usr/bin/env python3
"""Time from a native crash's fault to the process's death, against a loopback collector that
is healthy, that accepts and never answers (stall), or that is down.

usage: bench/crash_death.py EXAMPLE COLLECTOR [--runs N]
  EXAMPLE    build/.../examples/quillmark_example
  COLLECTOR  build/.../tools/quillmark_collector
The example prints "fault at T ms" (wall clock) just before its null write; the death is taken
when waitpid returns, on the same clock. Prints the median and the worst per collector.
"""
import argparse
import os
import signal
import socket
import statistics
import subprocess
import tempfile
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_collector(collector, mode, workdir):
    port_file = os.path.join(workdir, "port")
    proc = subprocess.Popen([collector, "--port", "0", "--port-file", port_file, "--mode", mode,
                             "--quiet-dmp", "--out", os.path.join(workdir, "records.jsonl")],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(200):
        if os.path.exists(port_file) and open(port_file).read().strip():
            return proc, int(open(port_file).read().strip())
        time.sleep(0.05)
    raise RuntimeError("collector did not start")


def one_crash(example, port, workdir):
    storage = tempfile.mkdtemp(dir=workdir)
    proc = subprocess.Popen([example, "http://127.0.0.1", str(port), storage, "--crash"],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    out, _ = proc.communicate(timeout=120)
    died = time.time() * 1000
    fault = next(int(l.split()[2]) for l in out.splitlines() if l.startswith("fault at"))
    return died - fault, proc.returncode


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("example")
    parser.add_argument("collector")
    parser.add_argument("--runs", type=int, default=20)
    args = parser.parse_args()
    print("| collector | runs | fault -> death, median | worst | died of |")
    print("|---|---|---|---|---|")
    for mode in ("ok", "stall", "down"):
        with tempfile.TemporaryDirectory() as workdir:
            if mode == "down":
                collector, port = None, free_port()
            else:
                collector, port = start_collector(args.collector, mode, workdir)
            times, codes = [], set()
            try:
                for _ in range(args.runs):
                    elapsed, code = one_crash(args.example, port, workdir)
                    times.append(elapsed)
                    codes.add(signal.Signals(-code).name if code < 0 else str(code))
            finally:
                if collector:
                    collector.terminate()
                    collector.wait()
            print(f"| {mode} | {args.runs} | {statistics.median(times):.0f} ms | "
                  f"{max(times):.0f} ms | {', '.join(sorted(codes))} |")


if __name__ == "__main__":
    main()
