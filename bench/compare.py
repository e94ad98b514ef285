#!/usr/bin/env python3
"""Compares two builds of the benchmarks in one run.

    bench/compare.py BEFORE AFTER ROUNDS FILTER

BEFORE and AFTER are zarn_bench executables (say, one built from an older
commit in a scratch folder and the current one). Each round runs the
benchmarks that FILTER selects once with each, taking turns at going first,
so that a machine whose load changes meanwhile weighs on both alike. Prints
a Markdown table of medians over the rounds: throughput (or time when a
benchmark reports no bytes), host CPU throughput where it is counted, and
the driver requests counted over the whole Windows side, with AFTER's share
of BEFORE's.
"""
import collections
import json
import statistics
import subprocess
import sys

COUNTERS = ("host_cpu_MBps", "driver_reads_per_frame", "driver_reads_per_request")


def run(executable, pattern):
    out = subprocess.run([executable, "--benchmark_filter=" + pattern, "--benchmark_format=json"],
                         capture_output=True, text=True, check=True, timeout=3600).stdout
    return [b for b in json.loads(out)["benchmarks"] if not b.get("error_occurred")]


def main():
    before, after, rounds, pattern = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
    samples = {name: collections.defaultdict(lambda: collections.defaultdict(list)) for name in ("before", "after")}
    order = []
    for r in range(rounds):
        turns = [("before", before), ("after", after)]
        for tag, executable in turns if r % 2 == 0 else reversed(turns):
            for b in run(executable, pattern):
                if b["name"] not in order:
                    order.append(b["name"])
                values = samples[tag][b["name"]]
                if b.get("bytes_per_second"):
                    values["MB/s"].append(b["bytes_per_second"] / 1e6)
                else:
                    values[b["time_unit"]].append(b["real_time"])
                for counter in COUNTERS:
                    if counter in b:
                        values[counter].append(b[counter])
        print(f"round {r + 1} of {rounds} done", file=sys.stderr, flush=True)
    print("| benchmark | measure | before | after | after/before |")
    print("|---|---|---|---|---|")
    for name in order:
        for measure, values in samples["after"][name].items():
            old = samples["before"][name].get(measure)
            if not old:
                continue
            b, a = statistics.median(old), statistics.median(values)
            share = f"{a / b:.3f}" if b else "-"
            print(f"| {name} | {measure} | {b:.4g} | {a:.4g} | {share} |")


if __name__ == "__main__":
    main()
