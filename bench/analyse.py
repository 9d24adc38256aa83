#!/usr/bin/env python3
"""Turns the frame probe's records into the benchmark table.

analyse.py DIR: reads DIR/quorvel0.bin, DIR/bare.bin, DIR/quorvel20000.bin
and DIR/memory.txt, prints a Markdown table and writes DIR/intervals.dat,
the frame-to-frame intervals of the paced run in microseconds.
"""
import struct
import sys
from pathlib import Path

WARMUP = 20  # the first frames settle caches and shader compiles


def frames(path):
    data = Path(path).read_bytes()
    records = [struct.unpack_from("=QQ", data, i) for i in range(0, len(data) - 15, 16)]
    return records[WARMUP:]


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(p / 100 * len(ordered)))]


def rate(records):
    span = (records[-1][1] - records[0][0]) / 1e9
    return (len(records) - 1) / span


def costs_us(records):
    return [(end - start) / 1000 for start, end in records]


def main(out):
    quorvel, bare, paced = (frames(out / n) for n in ("quorvel0.bin", "bare.bin", "quorvel20000.bin"))
    mem = dict(line.split() for line in (out / "memory.txt").read_text().splitlines())
    q_cost, b_cost = costs_us(quorvel), costs_us(bare)
    gaps = [(b[0] - a[0]) / 1000 for a, b in zip(paced, paced[1:])]
    errors = [abs(g - 20000) for g in gaps]
    (out / "intervals.dat").write_text("".join(f"{g:.1f}\n" for g in gaps))
    rss5, rss60 = int(mem["rss5"]), int(mem["rss60"])
    growth = (rss60 - rss5) / 1024 / ((60 - 5) / 60)

    print("| figure | quorvel | bare loop | ratio |")
    print("|---|---|---|---|")
    print(f"| frames a second, interval 0 | {rate(quorvel):.0f} | {rate(bare):.0f} | {rate(quorvel) / rate(bare):.2f} |")
    for p in (50, 99):
        q, b = percentile(q_cost, p), percentile(b_cost, p)
        print(f"| frame cost p{p}, start to end of swap (μs) | {q:.0f} | {b:.0f} | {q / b:.2f} |")
    print(f"| pacing at 20000 μs: \\|gap − 20000\\| median / p99 / max (μs) | "
          f"{percentile(errors, 50):.0f} / {percentile(errors, 99):.0f} / {max(errors):.0f} | | |")
    print(f"| resident memory at 5 s / 60 s, interval 0 (KiB) | {rss5} / {rss60} | | |")
    print(f"| memory growth (MiB a minute) | {growth:.2f} | | |")
    print()
    cost_ok = percentile(q_cost, 50) <= 3 * percentile(b_cost, 50)
    print(f"Targets: frame cost at most 3 times the bare loop's: {'met' if cost_ok else 'MISSED'}; "
          f"memory growth under 1 MiB a minute: {'met' if growth < 1 else 'MISSED'}.")
    print(f"Frames measured: {len(quorvel)} at interval 0, {len(bare)} bare, {len(paced)} at 20000 μs.")


if __name__ == "__main__":
    main(Path(sys.argv[1]))
