"""Risk models with covariances known by construction, for the analytics tests."""
import math

import numpy as np

import tarnwick as tw


def diagonal_model(variances, ppy=252.0):
    """A model whose covariance is diagonal: each asset moves alone, +a then -a.

    Over the 2n rows column i holds a and -a once each, so its mean is 0 and its variance
    2a^2 / 2n = v when a = sqrt(v n); the cross products are all 0, so nothing is shrunk."""
    n = len(variances)
    rows = []
    for i, v in enumerate(variances):
        a = math.sqrt(v * n)
        for sign in (1.0, -1.0):
            r = np.zeros(n)
            r[i] = sign * a
            rows.append(r)
    ids = [f"S{i}" for i in range(n)]
    model = tw.estimate_covariance(np.array(rows), ids, ppy)
    assert model.shrinkage_intensity == 0.0
    return model, ids
