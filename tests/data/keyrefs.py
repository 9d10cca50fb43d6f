"""Key references the data tests pickle to other processes: module-level, so they pickle by name."""

from __future__ import annotations

import os

import velora


def identity_from_env_path() -> velora.PrivateKey:
    """The private key in the file that VELORA_TEST_IDENTITY_PATH names."""
    with open(os.environ["VELORA_TEST_IDENTITY_PATH"], "rb") as f:
        return velora.load_private_key(f.read())
