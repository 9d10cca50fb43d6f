"""The examples of docs/guide/data.md run as written (S3: moto's server on 127.0.0.1)."""

from __future__ import annotations

import re

import pathlib

GUIDE = pathlib.Path(__file__).resolve().parents[2] / "docs" / "guide" / "data.md"


def blocks() -> list[str]:
    return re.findall(r"```python\n(.*?)```", GUIDE.read_text(), flags=re.S)


def test_the_guide_examples_run(s3_endpoint, s3_options, monkeypatch):
    import s3fs

    monkeypatch.setenv("S3_ENDPOINT", s3_endpoint)
    monkeypatch.setenv("AWS_ACCESS_KEY_ID", "testing")  # what the example's s3fs finds, in every process
    monkeypatch.setenv("AWS_SECRET_ACCESS_KEY", "testing")
    monkeypatch.setenv("AWS_DEFAULT_REGION", "us-east-1")
    s3fs.S3FileSystem(**s3_options).call_s3("create_bucket", Bucket="sales")
    code = blocks()
    assert code
    namespace: dict[str, object] = {"__name__": "guide"}
    for block in code:
        exec(compile(block, str(GUIDE), "exec"), namespace)
