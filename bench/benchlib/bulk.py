"""Bulk encryption from Python: encrypt_hybrid / decrypt_hybrid of 1 KiB,
1 MiB and 64 MiB against cryptography's AESGCM on one message of the same
size, and a 64 MiB stream in 64 KiB and 1 MiB chunks against AESGCM over the
same chunks, one call each (a frame's nonce and associated data are 12 and 4
bytes too)."""

from __future__ import annotations

import os

from .common import MiB, KiB, size_label, version_of
from .measure import Context, Item, Section

BULK_SIZES = [1 * KiB, 1 * MiB, 64 * MiB]
STREAM_TOTAL = 64 * MiB
STREAM_CHUNKS = [64 * KiB, 1 * MiB]


def rehome_stream_ciphertexts(stream_ciphertexts: dict[int, dict[str, list]]) -> None:
    """Copies each library's per-chunk stream ciphertexts into fresh objects,
    chunk by chunk in turn across the libraries, in place in their lists.

    The decrypt rows read 64 MiB that is out of cache, and on this VM the same
    loop over copies of the same input made at different times in one process
    runs anywhere from 6.2 to 7.7 GB/s. Without this, whichever library's
    inputs happened to be allocated first (ours) ran on the worse memory.
    """
    for by_library in stream_ciphertexts.values():
        lists = list(by_library.values())
        for i in range(max(map(len, lists))):
            for ciphertexts in lists:
                x = ciphertexts[i]
                ciphertexts[i] = (bytes(memoryview(x[0])), x[1]) if isinstance(x, tuple) else bytes(memoryview(x))


class BulkSection(Section):
    key = "bulk"
    title = "Bulk"

    def prepare(self, ctx: Context) -> None:
        import velora

        payloads: dict[int, list[bytes]] = {}
        ciphertexts: dict[int, dict[str, list]] = {}
        kp = velora.generate_keypair()
        pk, sk = kp.public_key, kp.secret_key
        for size in BULK_SIZES:
            pt = os.urandom(size)
            package = velora.encrypt_hybrid(pk, pt)
            self.items.append(Item("bulk", "encrypt_hybrid", "velora", 768,
                                   lambda pt=pt: velora.encrypt_hybrid(pk, pt), nbytes=size))
            self.items.append(Item("bulk", "decrypt_hybrid", "velora", 768,
                                   lambda p=package: velora.decrypt_hybrid(p, sk), nbytes=size))
        payload = os.urandom(STREAM_TOTAL)
        for chunk in STREAM_CHUNKS:
            chunks = [payload[i:i + chunk] for i in range(0, len(payload), chunk)]
            header, enc = velora.stream_encryptor_new(pk, chunk)
            frames = [enc.encrypt_chunk(c) for c in chunks]
            eof_tag = enc.finalize()[4:]
            pairs = [(f[4:-16], f[-16:]) for f in frames]

            def stream_encrypt(chunks=chunks, chunk=chunk) -> None:
                _, e = velora.stream_encryptor_new(pk, chunk)
                for c in chunks:
                    e.encrypt_chunk(c)
                e.finalize()

            def stream_decrypt(header=header, pairs=pairs, eof_tag=eof_tag) -> None:
                dec = velora.stream_decryptor_from_header(header, sk, velora.SecurityLevel.ML_KEM_768)
                for ct, tag in pairs:
                    dec.decrypt_chunk(ct, tag)
                dec.process_eof(eof_tag)
                dec.finalize()

            self.items.append(Item("stream", "encrypt", "velora", 768, stream_encrypt, nbytes=STREAM_TOTAL,
                                   chunk=chunk))
            self.items.append(Item("stream", "decrypt", "velora", 768, stream_decrypt, nbytes=STREAM_TOTAL,
                                   chunk=chunk))
            payloads[chunk] = chunks
            ciphertexts.setdefault(chunk, {})["velora"] = pairs
        self.items += self._aesgcm_items(ctx, payloads, ciphertexts)
        rehome_stream_ciphertexts(ciphertexts)

    @staticmethod
    def _aesgcm_items(ctx: Context, payloads: dict[int, list[bytes]],
                      ciphertexts: dict[int, dict[str, list]]) -> list[Item]:
        try:
            from cryptography.hazmat.backends.openssl.backend import backend
            from cryptography.hazmat.primitives.ciphers.aead import AESGCM
        except ImportError as e:
            ctx.notes.append(f"cryptography not available ({e}): no AESGCM columns")
            return []
        ctx.peers.setdefault("cryptography",
                             f"cryptography {version_of('cryptography')} ({backend.openssl_version_text()})")
        items: list[Item] = []
        aead = AESGCM(os.urandom(32))
        nonce = os.urandom(12)
        for size in sorted(set(BULK_SIZES + STREAM_CHUNKS)):
            pt = os.urandom(size)
            ct = aead.encrypt(nonce, pt, None)
            items.append(Item("aesgcm", "AESGCM.encrypt", "cryptography", None,
                              lambda pt=pt: aead.encrypt(nonce, pt, None), nbytes=size))
            items.append(Item("aesgcm", "AESGCM.decrypt", "cryptography", None,
                              lambda ct=ct: aead.decrypt(nonce, ct, None), nbytes=size))
        # The streams' floor: AESGCM over the same chunks of the same payload.
        for chunk, chunks in payloads.items():
            aad = bytes(4)
            cts = [aead.encrypt(nonce, c, aad) for c in chunks]
            ciphertexts.setdefault(chunk, {})["cryptography"] = cts

            def chunked_encrypt(chunks=chunks) -> None:
                for c in chunks:
                    aead.encrypt(nonce, c, aad)

            def chunked_decrypt(cts=cts) -> None:
                for c in cts:
                    aead.decrypt(nonce, c, aad)

            total = sum(map(len, chunks))
            items.append(Item("aesgcm_chunks", "encrypt", "cryptography", None, chunked_encrypt, nbytes=total,
                              chunk=chunk))
            items.append(Item("aesgcm_chunks", "decrypt", "cryptography", None, chunked_decrypt, nbytes=total,
                              chunk=chunk))
        return items

    def _find(self, group: str, name: str, **attrs) -> Item | None:
        return next((i for i in self.items if i.group == group and i.name == name
                     and all(getattr(i, k) == v for k, v in attrs.items())), None)

    def collect(self, ctx: Context) -> None:
        def row(what: str, size: int, label: str, nbytes: int, v: Item | None, a: Item | None) -> dict:
            """velora against AESGCM over the same nbytes; ratio is velora's time / AESGCM's."""
            vs, as_ = (v.seconds if v else None), (a.seconds if a else None)
            return {"what": what, "size": size, "size_label": label, "velora_s": vs, "aesgcm_s": as_,
                    "velora_gbps": nbytes / vs / 1e9 if vs else None,
                    "aesgcm_gbps": nbytes / as_ / 1e9 if as_ else None,
                    "ratio": vs / as_ if vs and as_ else None}

        rows = []
        for size in BULK_SIZES:
            for what, peer in (("encrypt_hybrid", "AESGCM.encrypt"), ("decrypt_hybrid", "AESGCM.decrypt")):
                rows.append(row(what, size, size_label(size), size, self._find("bulk", what, nbytes=size),
                                self._find("aesgcm", peer, nbytes=size)))
        for chunk in STREAM_CHUNKS:
            for direction in ("encrypt", "decrypt"):
                rows.append(row(f"stream {direction}", chunk, f"{size_label(chunk)} chunks", STREAM_TOTAL,
                                self._find("stream", direction, chunk=chunk),
                                self._find("aesgcm_chunks", direction, chunk=chunk)))
        ctx.results[self.key] = rows

    def tables(self, ctx: Context) -> list[str]:
        from .report import fmt_us, opt, table

        rows = [[r["what"], r["size_label"], fmt_us(r["velora_s"]), opt(r["velora_gbps"], "{:.2f}"),
                 fmt_us(r["aesgcm_s"]), opt(r["aesgcm_gbps"], "{:.2f}")] for r in ctx.results[self.key]]
        return [table(f"Bulk (ML-KEM-768; a stream carries {size_label(STREAM_TOTAL)} in chunks; AESGCM columns: "
                      f"{ctx.peers.get('cryptography')}, one message of the same size, or the same chunks one call "
                      "each)", ["velora", "size", "velora µs", "velora GB/s", "AESGCM µs", "AESGCM GB/s"], rows)]
