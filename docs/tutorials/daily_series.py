"""Tutorial: daily series with gaps (daily-series.md).

Run from any directory; scripts/docs runs it before building the site. The
marked sections are shown on the page, in order."""

import time
from pathlib import Path

# --8<-- [start:setup]
import matplotlib.pyplot as plt
import numpy as np
import pandas as pd

from zelmo_information import network as zn
# --8<-- [end:setup]

FIGURE = Path(__file__).with_suffix(".png")
start = time.perf_counter()

# --8<-- [start:data]
rng = np.random.default_rng(0)
days = pd.date_range("2019-01-01", "2024-12-31", freq="D")
n = len(days)
season = np.cos(2 * np.pi * (days.day_of_year.to_numpy() - 200) / 365.25)


def ar1(phi, scale=1.0):
    e = rng.normal(scale=scale, size=n)
    out = np.zeros(n)
    for t in range(1, n):
        out[t] = phi * out[t - 1] + e[t]
    return out


temperature = 10 + 8 * season + ar1(0.7, 2.0)
rain = rng.gamma(0.4, 6.0, size=n)                       # skewed: most days dry
wind = 5 + ar1(0.5, 1.5)                                 # drives nothing
river = np.zeros(n)
reservoir = np.zeros(n)
demand = np.zeros(n)
price = np.zeros(n)
noise = rng.normal(size=(4, n))
for t in range(2, n):
    river[t] = 0.6 * river[t - 1] + np.log1p(rain[t - 1]) + 0.4 * noise[0, t]
    reservoir[t] = 0.8 * reservoir[t - 1] + 0.3 * river[t - 1] + 0.3 * noise[1, t]
    demand[t] = 0.5 * demand[t - 1] - 0.15 * temperature[t - 1] + 0.5 * noise[2, t]
    price[t] = 0.4 * price[t - 1] + np.exp(0.5 * demand[t - 1]) - 0.4 * reservoir[t - 2] + 0.5 * noise[3, t]

series = pd.DataFrame({"temperature": temperature, "rain": rain, "river_level": river, "reservoir": reservoir,
                       "power_demand": demand, "price": price, "wind": wind}, index=days)
truth = {("rain", "river_level", 1), ("river_level", "reservoir", 1), ("temperature", "power_demand", 1),
         ("power_demand", "price", 1), ("reservoir", "price", 2)}

# Gaps: outages of a few days to three weeks in five of the series.
for name in ["temperature", "rain", "river_level", "power_demand", "price"]:
    for first in rng.choice(n - 21, size=6, replace=False):
        series.iloc[first:first + rng.integers(2, 22), series.columns.get_loc(name)] = np.nan
print(series.isna().sum().to_dict())
# --8<-- [end:data]

# --8<-- [start:missing]
try:
    zn.infer_network(series, estimator="copula")
except ValueError as error:
    print(error)
# --8<-- [end:missing]

# --8<-- [start:compare]
choices = {"binned, gaps binned": {"nonfinite": "bin"},
           "copula, gaps skipped": {"estimator": "copula", "nonfinite": "skip"}}
for label, options in choices.items():
    table = zn.infer_network(series, max_lag=3, surrogates=500, seed=1, **options).to_pandas()
    found = set(zip(table.source, table.target, table.lag))
    print(f"{label:22} {len(found & truth)} of 5 true links, {len(found - truth)} false")
# --8<-- [end:compare]

# --8<-- [start:choose]
net = zn.infer_network(series, estimator="copula", nonfinite="skip", max_lag=3, surrogates=500, seed=1)
# --8<-- [end:choose]

# --8<-- [start:result]
print(net)
print(net.summary())
links = net.to_pandas()
links["true"] = [(s, t, lag) in truth for s, t, lag in zip(links.source, links.target, links.lag)]
print(links.to_string(index=False))
print(f"steps counted per target: {dict(zip(net.labels, net.steps.tolist()))}")
# --8<-- [end:result]

# --8<-- [start:figure]
figure, (left, right) = plt.subplots(1, 2, figsize=(13, 5.5), width_ratios=[1.3, 1])
shown = series.loc["2023-01-01":"2023-12-31"]
scaled = (shown - shown.mean()) / shown.std()
for k, name in enumerate(series.columns):
    left.plot(scaled.index, scaled[name] - 4 * k, lw=0.7)
left.set_yticks([-4 * k for k in range(len(series.columns))], series.columns)
left.set_title("2023, each series standardised (gaps left blank)")
net.plot(ax=right)
figure.tight_layout()
figure.savefig(FIGURE, dpi=80)
# --8<-- [end:figure]

print(f"{Path(__file__).name}: {time.perf_counter() - start:.1f} s, figure {FIGURE.name}")
