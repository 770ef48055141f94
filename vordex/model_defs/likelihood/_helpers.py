"""Helpers shared by the likelihood-family tables.

`_gen_beta_hyper` produces the blocks of the regression coefficients
(beta1, beta2, ...) that the survival cure-model likelihoods add to their
hyperparameter mapping.
"""


def _gen_beta_hyper(hyperid, n, name, initial, param, theta_offset=1):
    """Return a dict of `n` coefficient blocks in the likelihood block shape.

    Block i (0-based) is stored under "theta{theta_offset + i}" and has the
    identifier ``hyperid + i``, the names "beta{i+1}" / "beta{i+1} for
    {name}", the given initial value, a "normal" prior whose parameters are a
    copy of `param`, and identity transforms.

    `theta_offset` is the number of the first key, so that the blocks can
    follow hyperparameters a model already defines (e.g. 2 after "theta1").
    """
    if isinstance(n, bool) or not isinstance(n, int):
        raise TypeError(f"n must be an int, not {type(n).__name__}")
    if n < 0:
        raise ValueError(f"n must be non-negative, got {n}")
    blocks = {}
    for i in range(n):
        label = f"beta{i + 1} for {name}"
        blocks[f"theta{theta_offset + i}"] = {
            "hyperid": hyperid + i,
            "name": label,
            "short_name": f"beta{i + 1}",
            "output_name": label,
            "output_name_intern": label,
            "initial": initial,
            "fixed": False,
            "prior": "normal",
            "param": list(param),
            # Coefficients have the same scale inside and outside: each
            # block gets its own pair of identity functions.
            "to_theta": lambda x: x,
            "from_theta": lambda x: x,
        }
    return blocks
