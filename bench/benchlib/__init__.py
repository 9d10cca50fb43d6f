"""The pieces of `make bench` (bench/run.py): measuring, the sections that
measure one concern each, the targets table and the report."""
