"""Type information for the autoregressive latent-model table (compiled module)."""

from typing import Any, Dict, List, Set

# A hyperparameter block: "hyperid", "name", "short_name", "initial",
# "fixed", "prior", "param", "to_theta", "from_theta".
_HyperBlock = Dict[str, Any]
_Record = Dict[str, Any]

ALLOWED_KEYS: Set[str]
DENIED_COMMON_KEYS: Set[str]
_PACF_INITIAL: List[int]
_PACF_PC_ALPHA: List[float]

def _pacf_hyper(k: int) -> _HyperBlock: ...

MODELS: Dict[str, _Record]
