"""Tutorial: continuous multichannel recordings (continuous-recordings.md).

Run from any directory; scripts/docs runs it before building the site. The
marked sections are shown on the page, in order."""

import time
from pathlib import Path

# --8<-- [start:setup]
import matplotlib.pyplot as plt
import numpy as np
import pandas as pd

from zelmo_information import network as zn
from zelmo_information.simulate import linear_network
# --8<-- [end:setup]

FIGURE = Path(__file__).with_suffix(".png")
start = time.perf_counter()

# --8<-- [start:data]
# Three minutes of 32 channels at 250 Hz: a linear network with delays of
# up to 4 samples (16 ms), every channel with its own memory.
rate = 250
channels = ["Fp1", "Fp2", "AF3", "AF4", "F7", "F3", "Fz", "F4", "F8", "FC5", "FC1", "FC2", "FC6", "T7", "C3", "Cz",
            "C4", "T8", "CP5", "CP1", "CP2", "CP6", "P7", "P3", "Pz", "P4", "P8", "PO3", "PO4", "O1", "Oz", "O2"]
signals, truth, true_lags = linear_network(len(channels), 180 * rate, in_degree=1.0, max_lag=4, seed=7)
recording = pd.DataFrame(signals.T, columns=channels,
                         index=pd.timedelta_range(0, periods=signals.shape[1], freq=f"{1000 // rate}ms"))
print(recording.shape)          # (45000, 32): time down, a column per channel
# --8<-- [end:data]

# --8<-- [start:bins]
print(zn.transfer_entropy_bins(len(recording)))               # 16 bins per channel at history 1
print(zn.transfer_entropy_bins(len(recording), history=2))    # 5 at history 2
# Independent pairs look coupled when their bins are too many for the data:
noise = pd.DataFrame(np.random.default_rng(1).normal(size=(len(recording), 2)), columns=["a", "b"])
print(zn.transfer_entropy_matrix(noise).loc["a", "b"])              # 16 bins: 0.03 bits of pure bias
print(zn.transfer_entropy_matrix(noise, estimator="gaussian").loc["a", "b"])  # 0.00004
# --8<-- [end:bins]

# --8<-- [start:pairwise]
pairwise = zn.transfer_entropy_test(recording, estimator="gaussian", null="analytic", history=4)
print(pairwise)
significant = pairwise.significant(alpha=0.01)
print(f"{significant.sum()} significant pairs, {truth.sum()} true links, "
      f"{(significant & ~truth).sum()} of the significant pairs not true links")
# --8<-- [end:pairwise]

# --8<-- [start:infer]
net = zn.infer_network(recording, estimator="gaussian", null="analytic", max_lag=4, alpha=0.01)
print(net.summary())
found = net.adjacency
print(f"found {found.sum()} links: {(found & truth).sum()} of {truth.sum()} true ones, "
      f"{(found & ~truth).sum()} false")
# --8<-- [end:infer]

# --8<-- [start:read]
links = net.to_pandas()
print(links.head())
lags = pd.DataFrame(true_lags, index=channels, columns=channels)
links["true lag"] = [lags.loc[s, t] if truth[channels.index(s), channels.index(t)] else 0
                     for s, t in zip(links["source"], links["target"])]
print(links[["source", "target", "lag", "true lag", "sign"]].to_string(index=False))

figure, (left, right) = plt.subplots(1, 2, figsize=(13, 5.8))
pairwise.plot("te", alpha=0.01, ax=left)
net.plot(ax=right)
figure.tight_layout()
figure.savefig(FIGURE, dpi=80)
# --8<-- [end:read]

print(f"{Path(__file__).name}: {time.perf_counter() - start:.1f} s, figure {FIGURE.name}")
