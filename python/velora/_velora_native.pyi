"""Native code of the velora package beyond the core module: key formats, protocols and build facts."""

__all__: list[str]
