"""
Many points: the density view
=============================

Above 100,000 points (or with ``density=True``) markers would only overdraw each other, so the
picture shades a 2-D histogram instead: opacity grows with the log of each cell's count, and
each cell takes the mean colour of its points' classes. Here 20,000 points of 12 clusters in
20 dimensions, some close enough to mix.
"""

import numpy as np

from brembolt.vornik import UMAP
from brembolt.vornik.plot import plot_embedding

rng = np.random.default_rng(0)
cluster = rng.integers(0, 12, 20_000)
centres = rng.normal(scale=3.0, size=(12, 20))
X = centres[cluster] + rng.normal(size=(20_000, 20))

Y = UMAP(random_state=42, n_epochs=200).fit_transform(X)
names = np.array([f"cluster-{c}" for c in range(12)])[cluster]  # shown in natural order

fig = plot_embedding(Y, labels=names, density=True, title="20,000 points, shaded by density")
