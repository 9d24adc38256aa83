"""The program's figures and the Python tools' module fed with the same vectors: the report and the tools
must give the same percentiles, stutters and animation errors."""
import json
import os
import subprocess

from quorvel import log as quorvel_log

PS = [0, 1, 50, 90, 99, 99.9, 100]
PERCENTILES = [
    [7, 5, 9, 5, 7, 5],  # ties
    [123456],  # one sample, above 100 ms
    [99999, 100000, 100001, 100300, 150000, 1234567, 2**40],  # across the exact range and far beyond it
    [97000 + 1013 * i for i in range(95)],  # p99 of 95 samples; the middle ones binned
    [20000] * 997 + [250000, 260000, 99999],  # p99.9 of 1000 samples, no rank rounded up
]
STUTTERS = [
    [20000, 60000, 20000, 100000],  # windows of one interval
    [25000] + [10000] * 39 + [30000] + [10000] * 31 + [26540] + [10000] * 10 + [40000] + [10000] * 5,
    [11000000] * 1100 + [30000000, 11000000],  # a window of 1049 intervals, held to the 1024 kept
]


def frame(n, shown_after=None, mode="copy"):
    """Log row n, its clocks drifting 1 μs a frame apart, shown `shown_after` μs after its swap end or at no time."""
    end = 1000000 + 16667 * n
    return [end - 3000, end, end + 500 + n, None if shown_after is None else end + 500 + n + shown_after, mode]


ANIMATION = [
    [frame(1, 5000), frame(2, 6200), frame(3, None, "skip"), frame(4, 5000), frame(5, None, None),
     frame(6, 9000, "flip"), frame(7, None), frame(8, 4000, "suboptimal_copy")],
    [frame(1, None, None), frame(2, None, "skip"), frame(3, 5000), frame(4, 22000)],
]


def test_the_program_and_the_tools_count_alike():
    vectors = {"ps": PS, "percentiles": PERCENTILES, "stutters": STUTTERS, "animation": ANIMATION}
    program = json.loads(subprocess.run([os.environ["AGREEMENT_PROBE"]], input=json.dumps(vectors), check=True,
                                        stdout=subprocess.PIPE, text=True, timeout=60).stdout)
    assert program["percentiles"] == [[quorvel_log.percentile(v, p) for p in PS] for v in PERCENTILES]
    stutters = [set(quorvel_log.stutters(intervals)) for intervals in STUTTERS]
    assert program["stutters"] == [[sum(i <= n for i in found) for n in range(len(intervals))]
                                   for found, intervals in zip(stutters, STUTTERS)]
    errors = [[e for _, e in quorvel_log.display_steps(dict(zip(
        ["start_us", "swap_end_us", "swap_end_mono_us", "present_ust", "present_mode"], zip(*rows))))]
        for rows in ANIMATION]
    assert program["animation"] == errors and all(stutters) and all(any(e for e in case) for case in errors)
