"""Fixtures of the data tests: keys on disk (referenced, never passed as objects), a real S3 API
on 127.0.0.1 (moto's server), s3fs on it."""

from __future__ import annotations

import logging
import pathlib
import socket

import pytest

import velora
from velora.xwing import XWingPrivateKey


@pytest.fixture(scope="session")
def key_dir(tmp_path_factory: pytest.TempPathFactory) -> pathlib.Path:
    """An ML-KEM-768 key pair as PEM files: identity.pem (private), recipient.pem (public)."""
    d = tmp_path_factory.mktemp("keys")
    key = velora.PrivateKey.generate(768)
    (d / "identity.pem").write_text(key.to_pem())
    (d / "recipient.pem").write_text(key.public_key().to_pem())
    other = velora.PrivateKey.generate(768)
    (d / "other.pem").write_text(other.to_pem())
    xw = XWingPrivateKey.generate()
    (d / "xwing.pem").write_text(xw.to_pem())
    return d


@pytest.fixture(scope="session")
def identity_path(key_dir: pathlib.Path) -> str:
    return str(key_dir / "identity.pem")


@pytest.fixture(scope="session")
def recipient_path(key_dir: pathlib.Path) -> str:
    return str(key_dir / "recipient.pem")


def _free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


@pytest.fixture(scope="session")
def s3_endpoint() -> str:
    """moto's S3 server on 127.0.0.1 at a free port, for the whole session."""
    pytest.importorskip("moto", reason="moto[server] is a test requirement (requirements-dev.txt)")
    from moto.server import ThreadedMotoServer

    logging.getLogger("werkzeug").setLevel(logging.WARNING)  # one line per request otherwise
    port = _free_port()
    server = ThreadedMotoServer(ip_address="127.0.0.1", port=port, verbose=False)
    server.start()
    try:
        yield f"http://127.0.0.1:{port}"
    finally:
        server.stop()


@pytest.fixture(scope="session")
def s3_options(s3_endpoint: str) -> dict[str, object]:
    """s3fs options for the moto server (fixed test credentials, no network beyond 127.0.0.1)."""
    return {
        "key": "testing",
        "secret": "testing",
        "client_kwargs": {"endpoint_url": s3_endpoint, "region_name": "us-east-1"},
        "skip_instance_cache": True,
    }


@pytest.fixture()
def bucket(s3_options: dict[str, object], request: pytest.FixtureRequest) -> str:
    """A new empty bucket for one test."""
    s3fs = pytest.importorskip("s3fs")
    fs = s3fs.S3FileSystem(**s3_options)
    name = "t-" + request.node.name.lower().replace("_", "-").replace("[", "-").replace("]", "")[:40].rstrip("-")
    fs.call_s3("create_bucket", Bucket=name)  # no location constraint: us-east-1
    return name
