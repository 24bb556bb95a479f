"""Benchmark suite for tavikrec: cost, timing fidelity, delivery latency,
backlog and soak, measured against a private PulseAudio server."""
