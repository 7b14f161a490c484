"""A short tour: entropies of simulated data, computed by zelmo_information."""

import numpy as np

import zelmo_information as zi

rng = np.random.default_rng(7)
normal = rng.normal(size=100_000)
uniform = rng.uniform(size=100_000)

print("zelmo_information demonstration")
print(f"  functions: {', '.join(zi.__all__)}")
print()
print("Shannon entropy of 100,000 samples, automatic bin count (316 bins):")
print(f"  normal   {zi.shannon_entropy(normal, -1):.6f} bits")
print(f"  uniform  {zi.shannon_entropy(uniform, -1):.6f} bits  (log2 316 = {np.log2(316):.6f})")
print(f"  uniform  {zi.shannon_entropy(uniform, -1, base=np.e):.6f} nats")
print()
with_gaps = np.concatenate([normal[:1000], [np.nan, np.inf, -np.inf]])
print("NaN and infinities are dropped before binning:")
print(f"  {zi.shannon_entropy(with_gaps, 10):.6f} == {zi.shannon_entropy(normal[:1000], 10):.6f}")
