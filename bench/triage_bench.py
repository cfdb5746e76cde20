#!/usr/bin/env python3
"""The triage tool's benchmark: reading speed (MB of logs a second) and the
peak memory of the tool at two corpus sizes, which should be the same: the
tool keeps one report per group, not one per report.

    triage_bench.py [--sizes MB,MB] [--runs N] [--symbols DIR --stripped-log LOG] SAMPLE_LOG

The corpus is made of the real reports of SAMPLE_LOG, repeated with their
dates spread over 60 days, until each file has the size asked for. Each
configuration runs N times; the fastest run counts (the machine is shared).
Peak memory is the tool process's maximum resident set, from wait4.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))
TRIAGE = os.path.join(REPO, "bin", "ruxtrap-triage")
_DATE = re.compile(rb"(\[(?:Started|Crash) Time\]:\t)\d{4}-\d\d-\d\d")


def split_reports(data):
    """The raw reports of a log, each with its closing empty lines."""
    return [chunk + b"\r\n\r\n\r\n" for chunk in data.split(b"\r\n\r\n\r\n") if b"Call Stack" in chunk]


def make_corpus(reports, path, megabytes):
    target = megabytes << 20
    written = count = 0
    with open(path, "wb") as out:
        while written < target:
            report = reports[count % len(reports)]
            day = b"2026-%02d-%02d" % (1 + (count // 28) % 2, 1 + count % 28)
            report = _DATE.sub(lambda m: m.group(1) + day, report)
            out.write(report)
            written += len(report)
            count += 1
    return written, count


def run_once(args):
    """(seconds, peak resident KB) of one run of the tool."""
    with open(os.devnull, "wb") as sink:
        start = time.perf_counter()
        process = subprocess.Popen([sys.executable, TRIAGE] + args, stdout=sink, stderr=sink)
        _, status, usage = os.wait4(process.pid, 0)
        elapsed = time.perf_counter() - start
    process.returncode = os.waitstatus_to_exitcode(status) if hasattr(os, "waitstatus_to_exitcode") else status
    if process.returncode != 0:
        raise SystemExit("triage_bench: the tool failed (%d) on %s" % (process.returncode, args))
    return elapsed, usage.ru_maxrss


def measure(label, args, size_bytes, reports, runs):
    best, peak = None, 0
    for _ in range(runs):
        elapsed, rss = run_once(args)
        best = elapsed if best is None else min(best, elapsed)
        peak = max(peak, rss)
    mb = size_bytes / 1048576
    print("%-28s %8.1f MB %8d reports %7.2f s %7.1f MB/s   peak %6.1f MB"
          % (label, mb, reports, best, mb / best, peak / 1024))
    sys.stdout.flush()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("sample_log")
    parser.add_argument("--sizes", default="50,200", help="corpus sizes in MB (default 50,200)")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--symbols", help="debug files for a run that names a stripped host's reports offline")
    parser.add_argument("--stripped-log", help="reports of the stripped host, for the --symbols run")
    args = parser.parse_args()

    with open(args.sample_log, "rb") as f:
        reports = split_reports(f.read())
    if not reports:
        raise SystemExit("triage_bench: no report in %s" % args.sample_log)
    sizes = [int(s) for s in args.sizes.split(",")]
    print("python %s; %d sample reports from %s" % (sys.version.split()[0], len(reports), args.sample_log))
    with tempfile.TemporaryDirectory(prefix="triage-bench-") as folder:
        for megabytes in sizes:
            corpus = os.path.join(folder, "corpus-%d.log" % megabytes)
            size, count = make_corpus(reports, corpus, megabytes)
            measure("table, %d MB" % megabytes, [corpus], size, count, args.runs)
            measure("--json, %d MB" % megabytes, ["--json", corpus], size, count, args.runs)
            os.remove(corpus)
        if args.symbols and args.stripped_log:
            with open(args.stripped_log, "rb") as f:
                stripped = split_reports(f.read())
            corpus = os.path.join(folder, "stripped.log")
            size, count = make_corpus(stripped, corpus, sizes[0])
            measure("--symbols, %d MB" % sizes[0], ["--symbols", args.symbols, corpus], size, count, args.runs)


if __name__ == "__main__":
    main()
