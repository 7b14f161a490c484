"""The simulated systems are what their documentation says: the links and
lags they report are the ones that drive the series, checked from the data
by least squares and by conditional frequencies."""

import numpy as np
import pytest

from zelmo_information import simulate


def lagged_design(x, order):
    """Columns x_i(t - l) for l = 1 .. order (lag-major), rows t = order .. L - 1."""
    m, length = x.shape
    return np.hstack([x[:, order - lag:length - lag].T for lag in range(1, order + 1)])


@pytest.mark.parametrize("seed", [0, 1])
def test_linear_network_coefficients_sit_on_the_reported_links(seed):
    m, max_lag = 6, 4
    x, links, lags = simulate.linear_network(m, 20_000, in_degree=1.5, max_lag=max_lag, seed=seed)
    assert x.shape == (m, 20_000) and links.sum() == round(1.5 * m) and not links.diagonal().any()
    assert ((lags > 0) == links).all() and lags.max() <= max_lag
    design = lagged_design(x, max_lag)
    coefficients, *_ = np.linalg.lstsq(design, x[:, max_lag:].T, rcond=None)
    weights = coefficients.reshape(max_lag, m, m)  # [lag - 1, source, target]
    for i in range(m):
        for j in range(m):
            for lag in range(1, max_lag + 1):
                driven = links[i, j] and lags[i, j] == lag
                own = i == j and lag <= 2
                if not (driven or own):
                    # Noise of unit variance over 20,000 steps: |error| < 0.05 with a wide margin.
                    assert abs(weights[lag - 1, i, j]) < 0.05, (i, j, lag)
    sources, targets = np.nonzero(links)
    assert (np.abs(weights[lags[sources, targets] - 1, sources, targets]) > 0.1).all()
    # The noise is standard normal: the residual variance is 1.
    residual = x[:, max_lag:].T - design @ coefficients
    assert np.allclose(residual.var(axis=0), 1.0, atol=0.05)


def test_logistic_network_stays_in_the_unit_interval_and_follows_its_drivers():
    x, links, lags = simulate.logistic_network(5, 5000, in_degree=1.0, max_lag=3, noise=0.0, seed=4)
    assert ((0.0 <= x) & (x < 1.0)).all() and links.sum() == 5
    # Without noise the map is exact: x_j(t) = f(u) with u from the drivers.
    coupling = 0.5
    for j in range(5):
        drivers = np.nonzero(links[:, j])[0]
        t = np.arange(10, 5000)
        u = x[j, t - 1]
        if drivers.size:
            mean = np.mean([x[i, t - lags[i, j]] for i in drivers], axis=0)
            u = (1 - coupling) * u + coupling * mean
        assert np.allclose(x[j, t], (4 * u * (1 - u)) % 1.0, atol=1e-12)


def test_nonlinear_network_reports_its_links():
    x, links, lags = simulate.nonlinear_network(8, 3000, in_degree=2.0, max_lag=3, seed=2)
    assert x.shape == (8, 3000) and np.isfinite(x).all()
    assert links.sum() == 16 and not links.diagonal().any()
    assert ((lags >= 1) == links).all() and lags.max() <= 3


def test_discrete_network_copies_its_driver_at_the_reported_lag():
    x, links, lags = simulate.discrete_network(6, 20_000, states=4, copy_driver=0.5, copy_self=0.2,
                                               max_lag=3, seed=7)
    assert set(np.unique(x)) <= {0.0, 1.0, 2.0, 3.0}
    assert (links.sum(axis=0) <= 1).all()  # one driver at most
    for i, j in zip(*np.nonzero(links)):
        # Copied half the time: the agreement peaks at the link's lag, well
        # above half, and falls off on either side.
        agree = [np.mean(x[j, lag:] == x[i, :-lag]) for lag in range(1, 6)]
        peak = int(np.argmax(agree)) + 1
        assert peak == lags[i, j] and agree[peak - 1] > 0.6, agree
    with pytest.raises(ValueError, match="copy_driver"):
        simulate.discrete_network(3, 10, copy_driver=0.8, copy_self=0.5)
