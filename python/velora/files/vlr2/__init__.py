"""Version 2 of the velora file format: a file key wrapped for many recipients, a MACed header,
AES-256-GCM chunks at offsets the header gives. Byte layout and security argument:
docs/file-format.md.

- `header`: the layout, building and parsing the header, the key derivations.
- `recipients`: wrapping the file key per recipient kind; `Passphrase`; the errors.
- `payload`: the sealer and opener the format registry uses.
- `rewrap`: a new recipient set for the same payload.
"""
