"""A short tour of zelmo_information on simulated data, ending with the
transfer-entropy matrix of a small network of coupled series and its
surrogate test, drawn as a heat map (docs/transfer-entropy-network.png)."""

import pathlib
import sys

import numpy as np

import zelmo_information as zi
from zelmo_information import network as zn

rng = np.random.default_rng(7)
n = 100_000


def section(title):
    print()
    print(title)


print(f"zelmo_information {zi.__version__}: {len(zi.__all__)} functions")

section("Entropies of one sample (bits unless stated; automatic bin count 316)")
normal = rng.normal(size=n)
uniform = rng.uniform(size=n)
print(f"  Shannon, normal          {zi.shannon_entropy(normal, -1):.6f}")
print(f"  Shannon, uniform         {zi.shannon_entropy(uniform, -1):.6f}   (log2 316 = {np.log2(316):.6f})")
print(f"  Shannon, uniform, nats   {zi.shannon_entropy(uniform, -1, base=np.e):.6f}")
print(f"  Renyi order 2, normal    {zi.renyi_entropy(normal, alpha=2.0):.6f}")
print(f"  Tsallis q = 2, normal    {zi.tsallis_entropy(normal, q=2.0):.6f}   (no unit)")
with_gaps = np.concatenate([normal[:1000], [np.nan, np.inf, -np.inf]])
print(f"  NaN and infinities are dropped: {zi.shannon_entropy(with_gaps, 10):.6f}"
      f" == {zi.shannon_entropy(normal[:1000], 10):.6f}")

section("Comparing two samples: N(0, 1) against N(0.5, 1)")
shifted = rng.normal(0.5, 1.0, size=n)
print(f"  KL divergence            {zi.kl_divergence(normal, shifted):.6f} nats")
print(f"  Jensen-Shannon           {zi.js_divergence(normal, shifted):.6f} bits")
print(f"  Hellinger distance       {zi.hellinger_distance(normal, shifted):.6f}")
print(f"  total variation          {zi.total_variation_distance(normal, shifted):.6f}")
print(f"  cross entropy            {zi.cross_entropy(normal, shifted):.6f} bits")

section("Dependence: y = x^2 + noise, z independent")
x = rng.uniform(-1, 1, size=n)
y = x**2 + 0.05 * rng.normal(size=n)
z = rng.normal(size=n)
print(f"  mutual information I(x; y)      {zi.mutual_information(x, y):.6f}")
print(f"  mutual information I(x; z)      {zi.mutual_information(x, z):.6f}")
print(f"  conditional MI I(x; y | z)      {zi.cond_mutual_information(x, y, z):.6f}")
print(f"  joint entropy H(x, y)           {zi.joint_entropy(x, y):.6f}")
print(f"  conditional entropy H(y | x)    {zi.conditional_entropy(y, x):.6f}")

section("Transfer entropy in a network of six coupled series (links 0->1, 1->2, 0->3, 4->5)")
links = [(0, 1), (1, 2), (0, 3), (4, 5)]
m, steps = 6, 20_000
signals = np.zeros((m, steps))
noise = rng.normal(size=(m, steps))
for t in range(1, steps):
    signals[:, t] = 0.4 * signals[:, t - 1] + noise[:, t]
    for source, target in links:
        signals[target, t] += 0.9 * signals[source, t - 1]
# Every ordered pair, with 1000 shifted surrogates of its source: enough for
# p-values down to 1/1001, which Benjamini-Hochberg needs over 30 pairs.
test = zn.transfer_entropy_test(signals, n_bins=8, history=1, surrogates=1000, seed=7)
te = test.te
significant = test.significant(alpha=0.05)  # FDR 5% (Benjamini-Hochberg)
print(f"  T(row -> column), bits, 8 bins; * marks links significant at FDR 0.05 ({test.surrogates} surrogates):")
print("        " + "".join(f"{j:>9d}" for j in range(m)))
for i in range(m):
    print(f"  {i:>4d}  " + "".join(f"{te[i, j]:8.4f}{'*' if significant[i, j] else ' '}" for j in range(m)))
off = ~np.eye(m, dtype=bool)
print(f"  plug-in bias: the surrogates of every pair average {test.null_mean[off].min():.4f}-"
      f"{test.null_mean[off].max():.4f} bits, which effective_te = te - null_mean removes")
found = sorted((int(i), int(j)) for i, j in zip(*np.nonzero(significant)))
print(f"  significant links: {found}  (simulated: {sorted(links)})")
# A link the simulation does not have is indirect when the source reaches the
# target along simulated links, or both share a driver; otherwise it is one of
# the false discoveries that a 5% false discovery rate allows.
ancestors = {j: {j} for j in range(m)}
for _ in range(m):
    for source, target in links:
        ancestors[target] |= ancestors[source]
extra = sorted(set(found) - set(links))
indirect = [(i, j) for i, j in extra if ancestors[i] & ancestors[j]]
if indirect:
    print(f"  indirect (through a chain or a common driver; pairwise tests cannot tell): {indirect}")
if len(extra) > len(indirect):
    print(f"  false discoveries: {[link for link in extra if link not in indirect]}")

# Multivariate: each target keeps the sources that tell about it beyond its
# own past and its other sources, which removes the indirect links. Every
# simulated link acts at lag 1 (max_lag=1). The Gaussian estimator reads the
# values themselves, where 8 bins keep part of each series.
net = zn.infer_network(signals, n_bins=8, max_lag=1, seed=7)
kept = sorted((link.source, link.target) for link in net.links)
print(f"  infer_network (8 bins): {kept}; indirect links removed: {sorted(set(indirect) - set(kept))}")
gaussian = zn.infer_network(signals, estimator="gaussian", max_lag=1, seed=7)
print(f"  infer_network (Gaussian): {sorted((link.source, link.target) for link in gaussian.links)}")

try:
    import matplotlib
except ImportError:
    print("\n(matplotlib is not installed: no heat map drawn)")
    sys.exit(0)
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.patches import Rectangle  # noqa: E402

out = pathlib.Path(__file__).resolve().parent.parent / "docs" / "transfer-entropy-network.png"
out.parent.mkdir(exist_ok=True)
fig, ax = plt.subplots(figsize=(5.2, 4.6), dpi=120)
image = ax.imshow(te, cmap="viridis")
ax.set_xticks(range(m))
ax.set_yticks(range(m))
ax.set_xlabel("target")
ax.set_ylabel("source")
ax.set_title("Transfer entropy (bits); boxed: significant at FDR 0.05\nsimulated links "
             + ", ".join(f"{s}\u2192{t}" for s, t in links), fontsize=10)
bright = te.max() / 2
for i in range(m):
    for j in range(m):
        ax.text(j, i, f"{te[i, j]:.2f}", ha="center", va="center", fontsize=7,
                color="black" if te[i, j] > bright else "white")
        if significant[i, j]:
            ax.add_patch(Rectangle((j - 0.46, i - 0.46), 0.92, 0.92, fill=False, edgecolor="red", linewidth=1.6))
fig.colorbar(image, ax=ax, shrink=0.85)
fig.tight_layout()
fig.savefig(out, metadata={"Software": None})
print(f"\nheat map written to {out.relative_to(out.parent.parent)}")
