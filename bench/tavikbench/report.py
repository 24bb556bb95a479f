"""Prints the results of one benchmark run side by side with the targets."""
from __future__ import annotations

from . import stats
from .backlog import BacklogRun
from .cost import Contestant
from .drift import MARK_S, SETTLE_S, DriftChannel, DriftRun, Group
from .echo import EchoRun, Group as EchoGroup
from .echo_drift import STEADY_AFTER_S, TARGET_DB, DriftingEchoRun
from .fidelity import TAGS, ChannelTiming, FidelityRun, Summary
from .soak import SoakRun

MIB = 1024


def _verdict(ok: bool) -> str:
    return "ok" if ok else "MISSED"


def cost(contestants: list[Contestant]) -> list[str]:
    """Every tavikrec contestant against the parecord pair, with the targets
    CPU <= 1.0x and wake-ups <= 1.2x the pair's (with --cancel-echo: CPU <=
    2.5x), peak RSS <= 8 MiB."""
    lines = ["== cost (medians [ranges] over rounds; CPU = user + system per second of audio; "
             "wake-ups = scheduler run counts of all threads per second)",
             f"{'contestant':38} {'CPU ms/s':>22} {'wake-ups/s':>20} {'vol. switches/s':>16} {'peak RSS MiB':>13}"]
    for c in contestants:
        lines.append(f"{c.name:38} {_median_range(c, 'cpu_ms_per_audio_s', 2):>22} "
                     f"{_median_range(c, 'wakeups_per_s', 0):>20} {c.median('voluntary_per_s'):16.0f} "
                     f"{c.median('peak_rss_kib') / MIB:13.2f}")
    pair = contestants[-1]
    for c in contestants[:-1]:
        cpu, wakeups, voluntary = (c.median(key) / pair.median(key)
                                   for key in ("cpu_ms_per_audio_s", "wakeups_per_s", "voluntary_per_s"))
        rss = _verdict(c.median('peak_rss_kib') <= 8 * MIB)
        if c.name.endswith("--cancel-echo"):  # its own target: CPU alone
            lines.append(f"target {c.name}: CPU {cpu:.2f}x the pair (<= 2.5x: {_verdict(cpu <= 2.5)}), "
                         f"wake-ups {wakeups:.2f}x (voluntary switches {voluntary:.2f}x), peak RSS <= 8 MiB: {rss}")
            continue
        lines.append(f"target {c.name}: CPU {cpu:.2f}x the pair (<= 1.0x: {_verdict(cpu <= 1.0)}), "
                     f"wake-ups {wakeups:.2f}x (<= 1.2x: {_verdict(wakeups <= 1.2)}; voluntary switches "
                     f"{voluntary:.2f}x), peak RSS <= 8 MiB: {rss}")
    return lines


def _median_range(c: Contestant, key: str, digits: int) -> str:
    low, high = c.range(key)
    return f"{c.median(key):.{digits}f} [{low:.{digits}f}-{high:.{digits}f}]"


def fidelity_run(label: str, condition: str, index: int, run: FidelityRun) -> str:
    """One line per loop-rig run, printed as it finishes."""
    mic, system = run.channels["mic"], run.channels["system"]
    return (f"{label} {condition} run {index}: offset median {run.median_offset_ms:+.2f} ms, "
            f"spread {run.spread_ms:.3f} ms ({len(run.offsets_ms)} clicks); "
            f"false fills mic {_fills(mic)}, system {_fills(system)}; late warnings {run.late_warnings}; "
            f"latency median/p95 mic {_latency(mic.latencies_ms)}, system {_latency(system.latencies_ms)}; "
            f"drift {mic.drift_ppm:+.1f}/{system.drift_ppm:+.1f} ppm; wall - span "
            f"{run.wall_s - mic.span_s:+.3f}/{run.wall_s - system.span_s:+.3f} s")


def _latency(values: list[float]) -> str:
    return f"{stats.median(values):.1f}/{stats.percentile(values, 0.95):.1f} ms"


def _fills(channel: ChannelTiming) -> str:
    return str(len(channel.fills)) + "".join(f" ({ms:.1f} ms at {t:.2f} s)" for t, ms in channel.fills[:3])


def fidelity(label: str, condition: str, summary: Summary, startup_ms: float) -> list[str]:
    """The loop-rig targets for one binary under one condition."""
    runs = summary.total_runs
    if not summary.runs:
        return [f"== loop rig, {label}, {condition}: {runs} runs, every one failed"]
    medians = summary.medians_ms
    lines = [f"== loop rig, {label}, {condition}: {runs} runs"
             + (f", {summary.failed} failed (stream broken or capture failed)" if summary.failed else ""),
             f"offset medians (mic - system) {min(medians):+.2f} to {max(medians):+.2f} ms, "
             f"median of medians {stats.median(medians):+.2f} ms",
             f"target no false fill and spread <= 1 ms in every run: {summary.clean_runs}/{runs} runs "
             f"({_verdict(summary.clean_runs == runs)}); late-stamp warnings in "
             f"{sum(run.late_warnings > 0 for run in summary.runs)} runs",
             f"target median offsets within a 2 ms range: {summary.median_range_ms:.2f} ms "
             f"({_verdict(summary.median_range_ms <= 2.0)})"]
    latency = []
    ok = True
    for name in TAGS.values():
        median, p95 = summary.latency_ms(name)
        ok = ok and median <= 50 and p95 <= 80
        latency.append(f"{name} {median:.1f}/{p95:.1f} ms")
    target = f" (target with both cores busy: median <= 50, p95 <= 80: {_verdict(ok)})" if condition == "busy" else ""
    lines.append(f"delivery latency median/p95 over all frames: {', '.join(latency)}{target}; "
                 f"overstated by at most {startup_ms:.1f} ms (see docs/performance.md)")
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


def _ms(value: float | None, sign: str = "+") -> str:
    return "—" if value is None else f"{value:{sign}.2f}"


def _marks(channel: DriftChannel) -> list[float]:
    last = channel.errors[-1][0]
    return [MARK_S * k for k in range(1, int(last // MARK_S) + 1)]


def drift_run(index: int, run: DriftRun) -> str:
    """One line per drift capture, printed as it finishes."""
    parts = []
    for name, ch in run.channels.items():
        at = "/".join(_ms(ch.error_at(m)) for m in _marks(ch))
        parts.append(f"{name}: error at {MARK_S:.0f} s steps {at} ms, last click {_ms(ch.errors[-1][1])} ms "
                     f"at {ch.errors[-1][0]:.1f} s; max |error| {_ms(ch.worst_ms(False), '')} ms (first "
                     f"{SETTLE_S:.0f} s), {_ms(ch.worst_ms(True), '')} ms (after); zero runs {len(ch.zero_runs)} "
                     f"({ch.zero_ms:.1f} ms{''.join(f', {ms:.1f} ms at {t:.2f} s' for t, ms in ch.zero_runs[:3])}); "
                     f"late-stamp lines {ch.late_lines}; drift {ch.drift_ppm:+.1f} ppm"
                     + (f" ({ch.drift_after_ppm:+.1f} after {SETTLE_S:.0f} s)" if ch.drift_after_ppm is not None else "")
                     + f"; correction {'none' if ch.notice_ppm is None else f'{ch.notice_ppm:+g} ppm'}"
                     + ("" if ch.exact is None else f"; samples {'exact' if ch.exact else 'changed'}")
                     + ("" if ch.taken_ppm is None else f"; the server read the FIFO at {ch.taken_ppm:+.0f} ppm")
                     + ("" if name not in run.pacing else
                        "; pace: latest wake-up {:.1f} ms, most behind {:.1f} ms".format(*run.pacing[name])))
    return f"{run.server} {run.ppm:+g} ppm run {index}: " + "; ".join(parts)


def _spread(values: list[float], digits: int | None = 2, sign: str = "+") -> str:
    """Median [min … max] of the runs' values; the median alone for one
    run. `digits` None prints counts as they are (a median may be a half)."""
    if not values:
        return "—"
    form = f"{sign}g" if digits is None else f"{sign}.{digits}f"
    median = stats.median(values)
    if len(values) == 1:
        return f"{median:{form}}"
    return f"{median:{form}} [{min(values):{form}} … {max(values):{form}}]"


def drift(server: str, ppm: float, group: Group) -> list[str]:
    """Medians [ranges] over the runs of one server and skew, per channel,
    and the targets of a timeline that keeps time on a drifting device."""
    runs = len(group.runs) + group.failed
    head = f"== drift, {server}, devices {ppm:+g} ppm: {runs} runs" + (
        f", {group.failed} failed (stream broken or capture failed)" if group.failed else "")
    if not group.runs:
        return [head + ", every one failed"]
    lines = [head + (" (medians [ranges] over the runs)" if len(group.runs) > 1 else "")]
    for name in group.runs[0].channels:
        marks = _marks(min((run.channels[name] for run in group.runs), key=lambda ch: ch.errors[-1][0]))
        at = ", ".join(f"{m:.0f} s {_spread(group.values(name, lambda ch, m=m: ch.error_at(m)))}" for m in marks)
        before = group.values(name, lambda ch: ch.worst_ms(False))
        after = group.values(name, lambda ch: ch.worst_ms(True))
        zeros = group.values(name, lambda ch: len(ch.zero_runs))
        late = group.values(name, lambda ch: ch.late_lines)
        lines += [
            f"{name}: click error (timeline - true time, from the channel's first click) at {at} ms; "
            f"last click {_spread(group.values(name, lambda ch: ch.errors[-1][1]))} ms",
            f"{name}: drift the clicks show {_spread(group.values(name, lambda ch: ch.drift_ppm), 1)} ppm; "
            f"zero runs inside the signal {_spread(zeros, None, '')} "
            f"({_spread(group.values(name, lambda ch: ch.zero_ms), 1, '')} ms); "
            f"late-stamp lines {_spread(late, None, '')}; correction engaged in "
            f"{sum(ch.notice_ppm is not None for ch in (run.channels[name] for run in group.runs))} of "
            f"{len(group.runs)} runs, at {_spread(group.values(name, lambda ch: ch.notice_ppm), 0)} ppm; "
            f"drift left after {SETTLE_S:.0f} s {_spread(group.values(name, lambda ch: ch.drift_after_ppm), 1)} ppm"
            f" (target |drift left| <= 5 ppm)"
            + ("" if group.runs[0].channels[name].exact is None else
               f"; samples exact in {sum(bool(run.channels[name].exact) for run in group.runs)} of {len(group.runs)}"),
            f"{name}: target |error| <= 30 ms in the first {SETTLE_S:.0f} s: max {_spread(before, 2, '')} ms "
            f"({_verdict(max(before) <= 30)}); <= 3 ms after: "
            + (f"max {_spread(after, 2, '')} ms ({_verdict(max(after) <= 3)})" if after else "no click after")
            + f"; no zero run: {_verdict(max(zeros) == 0)}; no late-stamp line: {_verdict(max(late) == 0)}",
        ]
    return lines


def _db(value: float, digits: int = 1) -> str:
    return f"{value:+.{digits}f}"


def echo_run(index: int, run: EchoRun) -> str:
    """One line per echo capture, printed as it finishes."""
    erle = ", ".join(f"{name} {_db(value)}" for name, value in run.erle_db.items())
    extra = ""
    if run.measured_delay_ms is not None:
        extra = (f"; echo found {run.measured_delay_ms:.2f} ms after channel 1; channel 0 "
                 f"{'is the microphone bit for bit' if run.exact else 'differs from the microphone'}")
    return (f"{run.server} D {run.delay_ms:g} ms, echo {run.gain_db:+g} dB, {_mode(run.cancel)} run {index}: "
            f"ERLE {erle} dB; near alone {_db(run.near_change_db, 2)} dB; double talk gain "
            f"{_db(run.double_gain_db, 2)} dB, echo reduction {_db(run.double_reduction_db)} dB "
            f"({_db(run.double_reduction_shaped_db)} dB with the near end's shaping fitted){extra}; "
            f"channel 0 alignment refined by {run.align_samples} samples; microphone pace: latest wake-up "
            f"{run.pacing[0]:.1f} ms, most behind {run.pacing[1]:.1f} ms, the FIFO held at most {run.held_ms:.0f} ms")


def echo_drift(index: int, run: DriftingEchoRun) -> list[str]:
    """One capture of the far-only scene with a drifting microphone: ERLE
    per window, the steady figure against its target, the correction's
    notices."""
    head = (f"== echo, drifting microphone, {run.server}, microphone {run.ppm:+g} ppm, D {run.delay_ms:g} ms, "
            f"echo {run.gain_db:+g} dB, {_mode(run.cancel)} run {index}")
    windows = [f"  {a:3.0f}-{b:3.0f} s  ERLE {_db(db)} dB" for a, b, db in run.erle]
    tail = ["drift correction: " + (" | ".join(dict.fromkeys(line.strip() for line in run.notices))
                                    or "no notice on stderr"),
            f"microphone pace: latest wake-up {run.pacing[0]:.1f} ms, most behind {run.pacing[1]:.1f} ms, "
            f"the FIFO held at most {run.held_ms:.0f} ms"]
    worst = run.worst_steady_db
    if worst is None:
        return [head, *windows, "steady: the scene ends before it", *tail]
    steady = (f"steady (from {STEADY_AFTER_S:.0f} s): ERLE {_db(run.steady_db)} dB over the stretch, worst window "
              f"{_db(worst)} dB")
    if run.cancel:
        steady += f" (target every window >= {TARGET_DB:g} dB: {_verdict(worst >= TARGET_DB)})"
    return [head, *windows, steady, *tail]


def _mode(cancel: bool) -> str:
    return "--cancel-echo" if cancel else "plain"


def echo(server: str, delay_ms: float, gain_db: float, cancel: bool, group: EchoGroup) -> list[str]:
    """Medians [ranges] over the runs of one server, delay, echo level and
    mode; with the canceller, the targets, judged on the worst run."""
    runs = len(group.runs) + group.failed
    head = (f"== echo, {server}, D {delay_ms:g} ms, echo {gain_db:+g} dB, {_mode(cancel)}: {runs} runs"
            + (f", {group.failed} failed" if group.failed else ""))
    if not group.runs:
        return [head + ", every one failed"]
    lines = [head + (" (medians [ranges] over the runs)" if len(group.runs) > 1 else "")]
    erle = ", ".join(f"{name} {_spread(group.values(lambda r, n=name: r.erle_db[n]), 1)}"
                     for name in group.runs[0].erle_db)
    near = group.values(lambda r: r.near_change_db)
    gain = group.values(lambda r: r.double_gain_db)
    reduction = group.values(lambda r: r.double_reduction_db)
    shaped = group.values(lambda r: r.double_reduction_shaped_db)
    lines.append(f"ERLE (dB): {erle}")
    if cancel:
        worst_near = max(near, key=abs)
        worst_gain = max(gain, key=abs)
        lines.append(f"target near end alone within ±0.5 dB: {_spread(near)} dB ({_verdict(abs(worst_near) <= 0.5)}); "
                     f"double talk: near-end gain within ±1 dB: {_spread(gain)} dB ({_verdict(abs(worst_gain) <= 1)}), "
                     f"echo reduction >= 15 dB: {_spread(reduction, 1)} dB ({_verdict(min(reduction) >= 15)}); "
                     f"with the near end's shaping fitted {_spread(shaped, 1)} dB ({_verdict(min(shaped) >= 15)})")
    else:
        measured = group.values(lambda r: r.measured_delay_ms)
        lines.append(f"without a canceller (every figure should read 0 dB): near end alone {_spread(near)} dB; "
                     f"double talk gain {_spread(gain)} dB, echo reduction {_spread(reduction, 1)} dB; echo found "
                     f"{_spread(measured, 2, '')} ms after channel 1; channel 0 the microphone bit for bit in "
                     f"{sum(bool(r.exact) for r in group.runs)} of {len(group.runs)} runs")
    return lines
