"""Type information for the Gamma likelihood-family table (compiled module)."""

from typing import Any, Dict

from vordex.model_defs.likelihood._helpers import _gen_beta_hyper as _gen_beta_hyper

# A hyperparameter block: "hyperid", "name", "short_name", "output_name",
# "output_name_intern", "initial", "fixed", "prior", "param", "to_theta",
# "from_theta".  A record: "doc", "hyper", "survival", "discrete", "link",
# "pdf" and, on experimental models, "status".
_HyperBlock = Dict[str, Any]
_Record = Dict[str, Any]

MODELS: Dict[str, _Record]
