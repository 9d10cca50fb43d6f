"""Benchmarks (filled in with the performance work)."""

print("no benchmarks yet")
