"""Small statistics helpers (the standard library has no percentile or
least-squares slope that fit here)."""
from __future__ import annotations

import statistics


def percentile(values: list[float], fraction: float) -> float:
    """Linear interpolation between closest ranks; fraction in [0, 1]."""
    if not values:
        raise ValueError("no values")
    ordered = sorted(values)
    position = fraction * (len(ordered) - 1)
    low = int(position)
    high = min(low + 1, len(ordered) - 1)
    return ordered[low] + (ordered[high] - ordered[low]) * (position - low)


def median(values: list[float]) -> float:
    return statistics.median(values)


def slope(xs: list[float], ys: list[float]) -> float:
    """Least-squares slope of ys against xs."""
    if len(xs) < 2:
        raise ValueError("need two points")
    return statistics.linear_regression(xs, ys).slope
