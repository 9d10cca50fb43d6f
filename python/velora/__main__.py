"""``python -m velora``: the `velora` command line."""

from .cli import main

raise SystemExit(main())
