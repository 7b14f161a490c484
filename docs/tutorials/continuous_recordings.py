"""Tutorial: continuous multichannel recordings (continuous-recordings.md).

Run from any directory; scripts/docs runs it before building the site. The
marked sections are shown on the page, in order."""

from pathlib import Path

# --8<-- [start:setup]
import numpy as np

from zelmo_information import network as zn
# --8<-- [end:setup]

FIGURE = Path(__file__).with_suffix(".png")

# --8<-- [start:data]
rng = np.random.default_rng(0)
# --8<-- [end:data]

print(f"{Path(__file__).name}: {zn.__name__} ready, figure to {FIGURE.name}")
