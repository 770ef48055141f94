"""Type information for the second-order random-walk table (compiled module)."""

from typing import Any, Dict, Set

# A hyperparameter block: "hyperid", "name", "short_name", "prior", "param",
# "initial", "fixed", "to_theta", "from_theta".
_HyperBlock = Dict[str, Any]
_Record = Dict[str, Any]

ALLOWED_KEYS: Set[str]
DENIED_COMMON_KEYS: Set[str]
MODELS: Dict[str, _Record]
