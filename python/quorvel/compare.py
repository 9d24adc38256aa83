"""quorvel-compare's command line: whether a change made the display better or worse.

quorvel-compare BASE NEW. Each side is a quorvel report (its log found
beside it, the same name with .csv), a comma-separated list of reports of the same settings (repeats), a
quorvel-check report, or a directory of any of these. Prints the figures
and checks that changed, regressions first, and the same ones folded to a
line (--html: a page of them all, with plots); a change is called only
where it is beyond the machine's noise and a floor. Exit status: 0 where
nothing of the stack's got worse, 1 where a figure is worse or a check
regressed, 2 for bad usage or unreadable input.

This is the command line: the work is in comparison and the statistics
in stats, beside it.
"""
import argparse
import json
import math
import sys

import numpy as np

from quorvel import comparison as qc
from quorvel import sides as quorvel_sides
from quorvel import stats as qs
from quorvel.judge import CHECKS
from quorvel.writer import Failed, write_all, writable

SEED = 48  # the resamples are the same on every run, so the same inputs give the same output


class Parser(argparse.ArgumentParser):
    def error(self, message):
        print(f"quorvel-compare: {message}", file=sys.stderr)
        sys.exit(2)


def parse():
    parser = Parser(prog="quorvel-compare", description="What changed between two sides of quorvel runs, "
                    "beyond the machine's noise.")
    parser.add_argument("base", metavar="BASE",
                        help="a report, REPORT,REPORT... (repeats), a quorvel-check report or a directory")
    parser.add_argument("new", metavar="NEW", help="the same, after the change")
    parser.add_argument("--threshold", default="5%", help="the relative floor of a change (default 5%%)")
    parser.add_argument("--all", action="store_true", help="a line for every figure and check, the same ones too")
    parser.add_argument("--strict", action="store_true", help="a figure worse only with the machine's frames fails too")
    parser.add_argument("--across", action="store_true", help="compare runs whose fingerprints differ")
    parser.add_argument("--known", metavar="FILE", help="known regressions: [WINSYS:]CHECK or FIGURE a line")
    parser.add_argument("--flakes", metavar="FILE", help="checks or figures whose verdict may move either way")
    parser.add_argument("--junit", metavar="FILE", help="JUnit XML: a test case a figure or check")
    parser.add_argument("--report", metavar="FILE", help="everything printed, and more, as JSON")
    parser.add_argument("--html", metavar="PAGE", help="a page of the comparison, a section a pair, with plots")
    args = parser.parse_args()
    text = args.threshold.rstrip("%")
    try:
        args.threshold = float(text) / (100 if args.threshold.endswith("%") else 1)
    except ValueError:
        args.threshold = -1
    if not (0 <= args.threshold < 10 and math.isfinite(args.threshold)):
        parser.error(f"--threshold takes a share such as 5% or 0.05, not {text!r}")
    for path in filter(None, (args.report, args.junit, args.html)):
        try:
            writable(path)
        except Failed as e:
            parser.error(f"{path}: cannot be written: {e.args[1]}")
    return args


def progress():
    """A bar on a terminal for inputs that take longer than a second: a step a run read, then a step a
    series of a pair resampled one way, which take alike."""
    from tqdm import tqdm
    return tqdm(file=sys.stderr, delay=1, leave=False, disable=not sys.stderr.isatty(), unit=" steps")


def page(sections, alone, damaged, prefix):
    from quorvel import pages
    said = [prefix + line for line in alone] + [f"damaged: {e.args[0]}: {e.args[1]}" for e in damaged]
    return pages.render("quorvel-compare", sections, said)


def main():
    """quorvel-compare's command line: its exit status."""
    try:
        return compare_sides()
    except KeyboardInterrupt:
        return 130


def compare_sides():
    """The two sides read, paired and compared, printed and written: the exit status."""
    args = parse()
    names = set(qs.FIGURE_NAMES) | set(CHECKS)
    damaged, results, lines, asks, sections = [], [], [], set(), []
    try:
        args.known, args.flakes = (qc.read_names(p, names) if p else set() for p in (args.known, args.flakes))
        with progress() as bar:
            base, base_dir = quorvel_sides.read_side(args.base, damaged, bar.update)
            new, new_dir = quorvel_sides.read_side(args.new, damaged, bar.update)
            pairs, alone = quorvel_sides.pairs_of(base, new, base_dir, new_dir)
            if not pairs and not alone and not damaged:
                raise quorvel_sides.Bad(args.base if not base else args.new, "nothing to compare")
            rng, per_pair = np.random.default_rng(SEED), 2 * len(qs.SERIES)
            bar.total = bar.n + per_pair * len(pairs)
            for b, n in pairs:
                done = bar.n + per_pair  # where the pair ends, whatever it resamples
                try:
                    said, out, pair_asks = qc.compare_pair(b, n, args, rng, bar.update)
                except quorvel_sides.Bad as e:
                    if not (base_dir or new_dir):
                        raise
                    damaged.append(e)
                    continue
                finally:
                    bar.update(done - bar.n)
                lines += said + [""]
                results.append(out)
                if args.html:  # while the pair's frames are at hand
                    from quorvel import pages
                    sections += pages.compare_sections(out, b, n)
                asks |= pair_asks
    except quorvel_sides.Bad as e:
        print(f"quorvel-compare: {e.args[0]}: {e.args[1]}", file=sys.stderr)
        return 2
    for e in damaged:
        print(f"quorvel-compare: {e.args[0]}: {e.args[1]}", file=sys.stderr)
    prefix = "across: " if args.across else ""
    lines += [prefix + line for line in alone]
    status = 2 if damaged else 1 if "fail" in asks or (args.strict and "strict" in asks) else 0
    try:
        sys.stdout.write("\n".join(lines).rstrip("\n") + "\n")
        sys.stdout.flush()
    except OSError as e:
        print(f"quorvel-compare: standard output: {e.strerror or e}", file=sys.stderr)
        return 2
    report = qc.nan_free(qc.as_json(results, alone, damaged, args.threshold, status))
    try:
        write_all([(args.report, (json.dumps(report, indent=2, ensure_ascii=False) + "\n").encode()),
                   (args.junit, qc.junit(results) if args.junit else b""),
                   (args.html, page(sections, alone, damaged, prefix) if args.html else b"")])
    except Failed as e:
        print(f"quorvel-compare: {e.args[0]}: cannot be written: {e.args[1]}", file=sys.stderr)
        return 2
    return status
