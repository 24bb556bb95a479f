"""Prints the results of one benchmark run side by side with the targets."""
from __future__ import annotations

from .backlog import BacklogRun
from .cost import Contestant
from .fidelity import FidelityRun
from .soak import SoakRun

MIB = 1024


def _verdict(ok: bool) -> str:
    return "ok" if ok else "MISSED"


def cost(contestants: list[Contestant]) -> list[str]:
    by_name = {c.name: c for c in contestants}
    lines = ["== cost (medians over rounds; CPU = user + system per second of audio)",
             f"{'contestant':42} {'CPU ms/s':>9} {'peak RSS MiB':>13}  rounds: CPU ms/s"]
    for c in contestants:
        rounds = " ".join(f"{s.cpu_ms_per_audio_s:.2f}" for s in c.samples)
        lines.append(f"{c.name:42} {c.median_cpu():9.2f} {c.median_rss() / MIB:13.2f}  {rounds}")
    for ours, theirs in (("tavikrec --mic --system", "parecord pair"), ("tavikrec --mic", "parecord (mic)")):
        ratio = by_name[ours].median_cpu() / by_name[theirs].median_cpu()
        rss_ratio = by_name[ours].median_rss() / by_name[theirs].median_rss()
        lines.append(f"ratio {ours} / {theirs}: CPU {ratio:.2f}x, RSS {rss_ratio:.2f}x")
    pair = by_name["tavikrec --mic --system"]
    lines.append(f"target CPU <= 1.0x pair: {_verdict(pair.median_cpu() <= by_name['parecord pair'].median_cpu())}; "
                 f"peak RSS <= 8 MiB: {_verdict(pair.median_rss() <= 8 * MIB)}")
    return lines


def fidelity(runs: list[FidelityRun], startup_ms: float) -> list[str]:
    lines = ["== timing fidelity (click train through the loop rig; offset = mic - system)"]
    for i, run in enumerate(runs, 1):
        lines.append(f"run {i}: predicted {run.predicted_offset_ms:+.2f} ms, measured median "
                     f"{run.median_offset_ms:+.2f} ms (min {min(run.offsets_ms):+.2f}, max {max(run.offsets_ms):+.2f}),"
                     f" error {run.error_ms:+.2f} ms, spread {run.spread_ms:.3f} ms over {len(run.offsets_ms)} clicks;"
                     f" wall {run.wall_s:.3f} s")
        for name, ch in run.channels.items():
            lines.append(f"  {name:6} clicks {ch.clicks:4}  drift {ch.drift_ppm:+.2f} ppm  span {ch.span_s:.4f} s "
                         f"(wall - span {run.wall_s - ch.span_s:+.4f} s)")
        ok = abs(run.error_ms) <= 5 and run.spread_ms <= 1 and all(
            abs(ch.drift_ppm) <= 10 for ch in run.channels.values())
        lines.append(f"  target |error| <= 5 ms, spread <= 1 ms, |drift| <= 10 ppm: {_verdict(ok)}")
    lines.append("== delivery latency (arrival - capture time of the frame's last sample; "
                 f"overstated by at most {startup_ms:.1f} ms, see docs/performance.md)")
    for i, run in enumerate(runs, 1):
        for name, ch in run.channels.items():
            ok = ch.latency_median_ms <= 50 and ch.latency_p95_ms <= 80
            lines.append(f"run {i} {name:6} median {ch.latency_median_ms:6.1f} ms  p95 {ch.latency_p95_ms:6.1f} ms  "
                         f"max {ch.latency_max_ms:6.1f} ms  target median <= 50, p95 <= 80: {_verdict(ok)}")
    return lines


def backlog(run: BacklogRun) -> list[str]:
    ratio = run.growth_per_channel_ratio
    return [
        f"== backlog (reader paused {run.pause_s:.0f} s)",
        f"RSS growth {run.growth_bytes_per_s / 1000:.1f} kB/s for two channels = {ratio:.3f} x 32.07 kB/s per channel"
        f" (target within 10 %: {_verdict(abs(ratio - 1) <= 0.1)})",
        f"VmRSS before {run.rss_before_kib} KiB, paused peak {run.rss_paused_peak_kib} KiB, after {run.rss_after_kib} KiB",
        "spans " + ", ".join(f"channel {t}: {s:.3f} s" for t, s in sorted(run.spans_s.items()))
        + f"; wall {run.wall_s:.3f} s",
        f"every frame whole and contiguous: {_verdict(run.complete)}"
        + (f" ({run.stream_error})" if run.stream_error else ""),
    ]


def soak(run: SoakRun) -> list[str]:
    lines = ["== soak", f"{'minute':>7} {'VmRSS KiB':>10} {'CPU ms/s':>9}"]
    lines += [f"{p.minute:7.1f} {p.rss_kib:10} {p.cpu_ms_per_s:9.2f}" for p in run.points]
    lines.append(f"RSS slope {run.rss_slope_kib_per_hour:+.1f} KiB/hour, peak {run.peak_rss_kib} KiB")
    lines.append("spans " + ", ".join(f"channel {t}: {s:.3f} s" for t, s in sorted(run.spans_s.items()))
                 + f"; wall {run.wall_s:.3f} s; every frame whole and contiguous: {_verdict(run.complete)}")
    return lines
