"""The package version; pyproject.toml reads it from here (one source)."""

__version__ = "0.1.0"
