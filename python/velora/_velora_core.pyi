"""Type stubs for the native module `_velora_core`."""

from typing import final

# ---- hybrid encryption: the Transit Package ---------------------------------

def encrypt_hybrid(recipient_public_key: bytes, plaintext: bytes, level: SecurityLevel = ...) -> bytes:
    """Encrypt `plaintext` for the holder of `recipient_public_key` in one step.

    Returns the Transit Package capsule || nonce (12) || tag (16) || ciphertext.
    Raises InvalidParameterError for a wrongly sized key or a plaintext beyond
    AES-GCM's 2**36 - 32 byte limit, RngError without a random source.
    """

def decrypt_hybrid(encrypted_package: bytes, secret_key: bytes, level: SecurityLevel = ...) -> bytes:
    """Open a Transit Package made at the same `level`; returns the plaintext.

    Raises InvalidParameterError for a package shorter than capsule + 28 bytes
    (checked first) or a wrongly sized secret key, DecryptionError when the tag
    does not verify. Never returns partial plaintext.
    """

# ---- streams -----------------------------------------------------------------

@final
class StreamEncryptorHandle:
    """Sender side of a stream; created only by `stream_encryptor_new`.

    A second call while another thread is inside a method raises RuntimeError
    ("Already borrowed", or "Already mutably borrowed" for the getters).
    """

    def encrypt_chunk(self, plaintext: bytes) -> bytes:
        """Encrypt one chunk (at most `chunk_size()` bytes) into the frame
        len (4, big-endian) || ciphertext || tag (16)."""
    def finalize(self) -> bytes:
        """Return the 20-byte EOF marker and close the encryptor."""
    def base_nonce(self) -> bytes:
        """The stream's 12-byte base nonce (12 zero bytes once finalized)."""
    def chunk_size(self) -> int:
        """Largest plaintext per chunk (0 once finalized)."""
    def chunk_index(self) -> int:
        """Data frames emitted so far (0 once finalized)."""

@final
class StreamDecryptorHandle:
    """Receiver side of a stream; created only by `stream_decryptor_from_header`.

    Same concurrency rule as StreamEncryptorHandle.
    """

    def decrypt_chunk(self, ciphertext: bytes, tag: bytes) -> bytes:
        """Authenticate and decrypt the next data frame; DecryptionError
        (state unchanged) if it is not the genuine frame at this position."""
    def process_eof(self, tag: bytes) -> None:
        """Authenticate the EOF marker (the frame of length 0)."""
    def finalize(self) -> None:
        """Close the decryptor. Does not check `eof_seen()`: read that first to
        detect a truncated stream."""
    def eof_seen(self) -> bool:
        """True once the EOF marker was authenticated (False once finalized)."""
    def chunk_size(self) -> int:
        """Largest ciphertext per chunk, from the header (0 once finalized)."""
    def chunk_index(self) -> int:
        """Chunks authenticated so far, the EOF marker included (0 once finalized)."""

def stream_encryptor_new(
    recipient_public_key: bytes, chunk_size: int, level: SecurityLevel = ...
) -> tuple[bytes, StreamEncryptorHandle]:
    """Start a stream: returns (header, encryptor). `chunk_size` is 1 to 16 MiB;
    values outside 0..2**32 - 1 raise OverflowError."""

def stream_decryptor_from_header(
    header_bytes: bytes, secret_key: bytes, level: SecurityLevel
) -> StreamDecryptorHandle:
    """Open the receiving side of a stream from its header."""
