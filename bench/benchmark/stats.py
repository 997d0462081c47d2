"""Summaries of timings: the figures every table shows."""
import math
import statistics


def percentile(values, p):
    """Nearest-rank percentile."""
    ordered = sorted(values)
    rank = max(1, math.ceil(p / 100.0 * len(ordered)))
    return ordered[rank - 1]


def summary(values):
    if not values:
        return {"n": 0}
    return {
        "n": len(values),
        "min": min(values),
        "median": statistics.median(values),
        "p99": percentile(values, 99),
        "max": max(values),
        "mean": statistics.fmean(values),
    }


def gap_summary(gaps, dropped=0):
    s = summary(gaps)
    s["below_49_5"] = sum(1 for g in gaps if g < 49.5)
    s["below_50"] = sum(1 for g in gaps if g < 50.0)
    s["above_52"] = sum(1 for g in gaps if g > 52.0)
    s["dropped"] = dropped
    return s
