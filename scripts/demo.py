"""A walk through velora as a user meets it: the object API, key files, a file for two
recipients, and the command line. `make demo` runs it; every step checks its own result."""

from __future__ import annotations

import os
import pathlib
import shlex
import subprocess
import sys
import tempfile

import velora
from velora import age

PASSPHRASE = b"correct horse battery staple"


def heading(title: str) -> None:
    print()
    print(title)
    print("-" * len(title))


def check(condition: bool, what: str) -> None:
    if not condition:
        raise SystemExit(f"demo: FAILED: {what}")


def demo_object_api() -> None:
    heading("1. One call each way: velora.encrypt / velora.decrypt")
    key = velora.PrivateKey.generate(768)
    print(f"key:        {key!r}")
    sealed = velora.encrypt(b"quarterly numbers", key.public_key())
    print(f"encrypted:  17 bytes -> a {len(sealed)}-byte velora file, starting {sealed[:4]!r}")
    opened = velora.decrypt(sealed, key)
    print(f"decrypted:  {opened!r}")
    check(opened == b"quarterly numbers", "round trip")
    for what, data, ids in (("a flipped byte", sealed[:-30] + bytes([sealed[-30] ^ 1]) + sealed[-29:], key),
                            ("a file cut short", sealed[:-1], key),
                            ("another key", sealed, velora.PrivateKey.generate(768))):
        try:
            velora.decrypt(data, ids)
            check(False, f"{what} was accepted")
        except velora.DecryptionError as exc:
            print(f"refused:    {what}: {type(exc).__name__}: {exc}")
    try:
        velora.encrypt(b"x", key)  # type: ignore[arg-type]  # the misuse shown on purpose
    except TypeError as exc:
        print(f"refused:    a private key as recipient: TypeError: {exc}")


def demo_key_files(folder: pathlib.Path) -> velora.PrivateKey:
    heading("2. Key files: PKCS#8 and SubjectPublicKeyInfo")
    key = velora.PrivateKey.generate(1024)
    private_file, public_file = folder / "key.pem", folder / "key.pub.pem"
    private_file.write_text(key.to_pem(password=PASSPHRASE))
    public_file.write_text(key.public_key().to_pem())
    print(f"{private_file.name}:    {private_file.read_text().splitlines()[0]} ({private_file.stat().st_size} bytes, scrypt)")
    print(f"{public_file.name}: {public_file.read_text().splitlines()[0]} ({public_file.stat().st_size} bytes)")
    print(f"encrypted?  {velora.is_encrypted_private_key(private_file)}")
    loaded = velora.load_private_key(private_file, password=PASSPHRASE)  # a Path reads the file
    recipient = velora.load_public_key(public_file)
    check(loaded == key and recipient == key.public_key(), "key files round trip")
    print(f"loaded:     {loaded!r} and {recipient!r}")
    try:
        key.to_pem(password=b"")
    except velora.InvalidParameterError as exc:
        print(f"refused:    an empty password: {exc}")
    try:
        velora.load_private_key(str(private_file), password=PASSPHRASE)
    except velora.KeySerializationError as exc:
        print(f"refused:    a file name as str: ...{str(exc)[-70:]}")
    return loaded


def demo_two_recipients(folder: pathlib.Path) -> None:
    heading("3. A file for two recipients (age, post-quantum)")
    ana, ben = age.HybridIdentity.generate(), age.HybridIdentity.generate()
    plain, sealed = folder / "minutes.txt", folder / "minutes.txt.age"
    plain.write_bytes(b"the minutes of the meeting\n" * 10_000)
    size = velora.encrypt_file(plain, sealed, [ana.recipient(), ben.recipient()])
    info = velora.inspect_file(sealed)
    print(f"encrypted:  {size} bytes to 2 recipients -> {sealed.stat().st_size} bytes, format {info.format}, "
          f"{info.details.get('recipients', info.details)}")
    for name, identity in (("ana", ana), ("ben", ben)):
        out = folder / f"minutes.{name}.txt"
        velora.decrypt_file(sealed, out, identity)
        check(out.read_bytes() == plain.read_bytes(), f"{name} opens the file")
        print(f"{name} opens it with their own identity: {out.stat().st_size} bytes, identical")
    try:
        velora.decrypt_file(sealed, folder / "nobody.txt", age.HybridIdentity.generate())
    except velora.DecryptionError as exc:
        print(f"refused:    a third identity: {type(exc).__name__}: {exc}; "
              f"nobody.txt exists: {(folder / 'nobody.txt').exists()}")


def demo_command_line(folder: pathlib.Path) -> None:
    heading("4. The command line")
    env = dict(os.environ, PATH=str(pathlib.Path(sys.executable).parent) + os.pathsep + os.environ["PATH"])
    (folder / "pass.txt").write_bytes(PASSPHRASE + b"\n")
    (folder / "notes.txt").write_text("notes for the file\n")
    session = [
        "velora --version",
        "velora keygen -o xwing.pem && head -2 xwing.pem",
        "velora keygen -t mlkem768 -o cli.pem",
        "velora pubkey cli.pem > cli.recipient",
        'velora encrypt -q -r "$(cat cli.recipient)" -o notes.vlr notes.txt',
        "velora inspect notes.vlr",
        "velora decrypt -q -i cli.pem notes.vlr",
        "head -c 4000000 /dev/zero > big.bin && velora encrypt -q -R cli.recipient -o big.vlr big.bin",
        'velora decrypt -q -i cli.pem big.vlr | head -c 8 | wc -c; echo "(velora exited ${PIPESTATUS[0]})"',
        "velora pubkey /etc/passwd",
        "velora encrypt --help | tail -9",
    ]
    for command in session:
        print(f"$ {command}")
        done = subprocess.run(["bash", "-c", command], cwd=folder, env=env, capture_output=True, text=True,
                              timeout=300)
        for line in (done.stdout + done.stderr).splitlines():
            print(f"  {line[:110]}{'...' if len(line) > 110 else ''}")
        if done.returncode != 0:
            print(f"  [exit status {done.returncode}]")
    check((folder / "notes.vlr").exists(), "velora encrypt wrote notes.vlr")
    check(velora.decrypt((folder / "notes.vlr").read_bytes(), velora.load_private_key(folder / "cli.pem"))
          == b"notes for the file\n", "the command line's file opens in Python")


def demo_low_level() -> None:
    heading("5. The low level: the core module's functions")
    pair = velora.generate_keypair(velora.SecurityLevel.ML_KEM_512)
    capsule, secret = velora.encapsulate(pair.public_key, velora.SecurityLevel.ML_KEM_512)
    check(velora.decapsulate(capsule, pair.secret_key, velora.SecurityLevel.ML_KEM_512) == secret, "KEM")
    print(f"{pair!r}: capsule {len(capsule)} bytes, shared secret {len(secret)} bytes, decapsulated alike")
    print(f"build:      {velora.build_info()}")


def main() -> None:
    print(f"velora {velora.__version__} (distribution velora-pq) from {pathlib.Path(velora.__file__).parent}")
    with tempfile.TemporaryDirectory() as tmp:
        folder = pathlib.Path(tmp)
        demo_object_api()
        demo_key_files(folder)
        demo_two_recipients(folder)
        demo_command_line(folder)
        demo_low_level()
    print("\ndemo: OK")


if __name__ == "__main__":
    main()
