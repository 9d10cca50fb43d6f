"""The fsspec filesystem 'velora' over real backends: local files, memory, and S3 (moto's server)."""

from __future__ import annotations

import io
import pickle

import fsspec
import pytest

import velora
from velora.fs import VeloraFileSystem

import file_oracle
from data import keyrefs


def test_the_protocol_is_registered_through_the_entry_point():
    assert fsspec.get_filesystem_class("velora") is VeloraFileSystem
    assert "velora" in fsspec.available_protocols()


def urls(tmp_path, bucket_name: str | None) -> dict[str, str]:
    out = {"file": f"velora::file://{tmp_path}/data.bin", "memory": "velora::memory://vel-fs/data.bin"}
    if bucket_name is not None:
        out["s3"] = f"velora::s3://{bucket_name}/data.bin"
    return out


@pytest.fixture(params=["file", "memory", "s3"])
def backend(request, tmp_path):
    """(URL of a file, storage options) on one backend."""
    if request.param == "s3":
        options = request.getfixturevalue("s3_options")
        name = request.getfixturevalue("bucket")
        return f"velora::s3://{name}/dir/data.bin", {"s3": options}
    if request.param == "file":
        return f"velora::file://{tmp_path}/dir/data.bin", {}
    fsspec.filesystem("memory").rm("/vel-fs", recursive=True) if fsspec.filesystem("memory").exists("/vel-fs") else None
    return "velora::memory://vel-fs/dir/data.bin", {}


def test_write_then_read_back_seek_and_report_plaintext_sizes(backend, identity_path, recipient_path):
    url, options = backend
    plaintext = bytes(range(256)) * 5000  # 1.2 MiB: two chunks at the default size
    with fsspec.open(url, "wb", recipients=recipient_path, **options) as f:
        f.write(plaintext)
    fs, path = fsspec.core.url_to_fs(url, identity=identity_path, **options)
    assert isinstance(fs, VeloraFileSystem)
    with fs.open(path, "rb") as r:
        assert r.seekable()
        assert r.seek(-10, io.SEEK_END) == len(plaintext) - 10
        assert r.read() == plaintext[-10:]
        r.seek(1024 * 1024 - 3)
        assert r.read(6) == plaintext[1024 * 1024 - 3 : 1024 * 1024 + 3]
    assert fs.cat_file(path, start=100, end=200) == plaintext[100:200]
    # Sizes without decrypting: a filesystem with no key at all reports them.
    keyless, _ = fsspec.core.url_to_fs(url, **options)
    info = keyless.info(path)
    stored = keyless.fs.info(path)["size"]
    assert info["size"] == len(plaintext) and info["encrypted_size"] == stored
    # The writers' format (version 2, one ML-KEM-768 entry, 1 MiB chunks), from the document's formula.
    assert stored == 15 + (1 + 16 + 1088 + 48) + 16 + 32 + len(plaintext) + 2 * 16
    parent = path.rsplit("/", 1)[0]
    (entry,) = keyless.ls(parent, detail=True)
    assert entry["size"] == len(plaintext)
    assert keyless.find(parent, detail=True)[entry["name"]]["size"] == len(plaintext)
    # The stored bytes are a velora file that the independent reader opens.
    pem = open(identity_path).read()
    seed = velora.load_private_key(pem).seed
    assert file_oracle.decrypt(keyless.fs.cat_file(path), seed) == plaintext
    with pytest.raises(ValueError, match="identity"):
        keyless.open(path, "rb")


def test_a_failed_write_leaves_nothing_and_keeps_the_old_file(backend, identity_path, recipient_path):
    url, options = backend
    fs, path = fsspec.core.url_to_fs(url, identity=identity_path, recipients=recipient_path, **options)
    fs.makedirs(path.rsplit("/", 1)[0], exist_ok=True)
    with fs.open(path, "wb") as f:
        f.write(b"first version")
    with pytest.raises(RuntimeError, match="stop"):
        with fs.open(path, "wb") as f:
            f.write(b"x" * 3_000_000)
            raise RuntimeError("stop")
    with fs.open(path, "rb") as r:
        assert r.read() == b"first version"
    other = path.rsplit("/", 1)[0] + "/never.bin"
    with pytest.raises(RuntimeError):
        with fs.open(other, "wb") as f:
            f.write(b"y" * 100)
            raise RuntimeError("stop")
    assert not fs.exists(other)
    assert [p.rsplit("/", 1)[1] for p in fs.ls(path.rsplit("/", 1)[0], detail=False)] == ["data.bin"]


def test_pickles_with_key_references_never_key_material(tmp_path, identity_path, recipient_path, monkeypatch):
    fs = VeloraFileSystem(target_protocol="file", identity=identity_path, recipients=recipient_path)
    path = str(tmp_path / "p.bin")
    with fs.open(path, "wb") as f:
        f.write(b"pickled filesystems read too")
    monkeypatch.setenv("VELORA_TEST_IDENTITY_TEXT", open(identity_path).read())
    monkeypatch.setenv("VELORA_TEST_IDENTITY_PATH", identity_path)
    for ref in [identity_path, "env:VELORA_TEST_IDENTITY_TEXT", keyrefs.identity_from_env_path]:
        other = pickle.loads(pickle.dumps(VeloraFileSystem(target_protocol="file", identity=ref,
                                                           skip_instance_cache=True)))
        assert other.cat_file(path) == b"pickled filesystems read too"
    key = velora.load_private_key(open(identity_path).read())
    from velora import age

    for material in (key, age.X25519Identity.generate(), [identity_path, key]):
        with pytest.raises(TypeError, match="reference"):
            VeloraFileSystem(target_protocol="file", identity=material, skip_instance_cache=True)
    with pytest.raises(TypeError):
        pickle.dumps(key)
    with pytest.raises(KeyError, match="NOT_SET_ANYWHERE"):
        VeloraFileSystem(target_protocol="file", identity="env:NOT_SET_ANYWHERE", skip_instance_cache=True).open(path)


def test_wrong_key_and_foreign_files(tmp_path, key_dir, recipient_path):
    fs = VeloraFileSystem(target_protocol="file", identity=str(key_dir / "other.pem"), recipients=recipient_path,
                          skip_instance_cache=True)
    path = str(tmp_path / "w.bin")
    with fs.open(path, "wb") as f:
        f.write(b"for someone else")
    with pytest.raises(velora.DecryptionError):
        fs.open(path, "rb")
    plain = tmp_path / "plain.txt"
    plain.write_bytes(b"not encrypted at all")
    assert fs.info(str(plain))["size"] is None  # no plaintext size can be told
    with pytest.raises(velora.DecryptionError):
        fs.open(str(plain), "rb")
    with pytest.raises(ValueError, match="'rb', 'wb' or 'xb'"):
        fs.open(path, "ab")
