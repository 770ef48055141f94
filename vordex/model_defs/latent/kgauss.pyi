"""Type information for the k-dimensional Gaussian random-effect table (compiled module)."""

from typing import Any, Dict, Set

# A hyperparameter block: "hyperid", "name", "short_name", "initial",
# "fixed", "prior", "param", "to_theta", "from_theta".
_HyperBlock = Dict[str, Any]
_Record = Dict[str, Any]

_SPECIAL_NUMBER: float
ALLOWED_KEYS: Set[str]
DENIED_COMMON_KEYS: Set[str]
MODELS: Dict[str, _Record]
