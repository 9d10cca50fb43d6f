"""Tests of velora with data tools: random access, the fsspec filesystem, engines, Parquet keys."""
