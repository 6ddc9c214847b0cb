"""
Sizes that mean something: densmap
==================================

Three Gaussian clusters in 10 dimensions, with standard deviations 1, 3 and 9. The plain layout
draws them the same size: its forces only see who is near whom. With ``densmap=True`` the last
share of the epochs also ties each point's local radius in the embedding to its local radius in
the data, and the clusters come out as tight or as diffuse as they are. The third panel plots
the two radii of every point against each other, on log scales.
"""

import numpy as np
from matplotlib.figure import Figure
from matplotlib.ticker import NullFormatter

from brembolt.vornik import UMAP, local_radii, trustworthiness
from brembolt.vornik.plot import palette

rng = np.random.default_rng(0)
cluster = np.repeat(np.arange(3), 1000)
centres = np.zeros((3, 10))
centres[1, 0], centres[2, 1] = 60.0, 120.0
X = centres[cluster] + rng.normal(size=(3000, 10)) * np.array([1.0, 3.0, 9.0])[cluster][:, None]

plain = UMAP(random_state=42).fit(X)
dense = UMAP(random_state=42, densmap=True).fit(X)
plain_radius = local_radii(plain)[1]
for name, model, radius in (("plain", plain, plain_radius),
                            ("densmap", dense, dense.embedding_radius_)):
    r = np.corrcoef(np.log(dense.data_radius_), np.log(radius))[0, 1]
    print(f"{name:>8}: correlation of log local radii {r:.3f}, "
          f"trustworthiness {trustworthiness(X, model.embedding_):.4f}")

colours = palette(3)[cluster]
fig = Figure(figsize=(12, 4.2), dpi=100)
for i, (title, Y) in enumerate((("plain layout", plain.embedding_),
                                ("densmap=True", dense.embedding_))):
    ax = fig.add_subplot(1, 3, i + 1)
    ax.scatter(Y[:, 0], Y[:, 1], s=2, c=colours)
    ax.set_aspect("equal", "datalim")
    ax.set_title(title)
    ax.set_xticks([])
    ax.set_yticks([])
ax = fig.add_subplot(1, 3, 3)
ax.scatter(dense.data_radius_, plain_radius, s=2, c="lightgrey", label="plain layout")
ax.scatter(dense.data_radius_, dense.embedding_radius_, s=2, c=colours, label="densmap=True")
ax.set_xscale("log")
ax.set_yscale("log")
ax.xaxis.set_minor_formatter(NullFormatter())
ax.yaxis.set_minor_formatter(NullFormatter())
ax.set_xlabel("local radius in the data")
ax.set_ylabel("local radius in the embedding")
ax.legend(markerscale=5)
fig.tight_layout()
