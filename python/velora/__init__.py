"""velora: post-quantum encryption built on ML-KEM (FIPS 203) and AES-256-GCM."""

from . import _velora_core
from ._velora_core import *  # noqa: F401,F403  (every registered name)
from .keys import PrivateKey, PublicKey
from .levels import as_level

__all__ = list(_velora_core.__all__) + ["PublicKey", "PrivateKey", "as_level"]

# age v1 files, X-Wing and HPKE: velora.age, velora.xwing, velora.hpke.
from . import age, hpke, xwing  # noqa: E402
from .xwing import XWingPrivateKey, XWingPublicKey  # noqa: E402

__all__ += ["XWingPrivateKey", "XWingPublicKey"]
