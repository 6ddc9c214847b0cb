"""
Between two clusters: inverse_transform
=======================================

``inverse_transform`` maps points of the embedding back to the data: each point becomes the
mean of the rows of the fitted points around it, weighted by the embedding's own membership
curve. A grid laid over the digits' map from the middle of the 3s to the middle of the 9s, and
a little to either side, comes back as 8 × 8 images: a 3 turning into a 9, through whatever the
map puts between them.
"""

import numpy as np
from matplotlib.figure import Figure
from sklearn.datasets import load_digits

from brembolt.vornik import UMAP
from brembolt.vornik.plot import plot_embedding

X, digit = load_digits(return_X_y=True)
model = UMAP(random_state=42).fit(X)
Y = model.embedding_

start, end = (np.median(Y[digit == d], axis=0) for d in (3, 9))
along = end - start
across = np.array([-along[1], along[0]]) / np.linalg.norm(along)
steps, rows = np.linspace(-0.1, 1.1, 9), np.linspace(-1.0, 1.0, 5)
grid = np.array([start + s * along + r * across for r in rows for s in steps])
images = model.inverse_transform(grid)

mse = ((model.inverse_transform(Y) - X) ** 2).mean()
class_means = np.stack([X[digit == d].mean(axis=0) for d in range(10)])
print(f"mean squared error of the fitted points' rows: {mse:.2f} "
      f"(each at its class mean: {((class_means[digit] - X) ** 2).mean():.2f})")

fig = plot_embedding(Y, labels=digit, title="the grid over the digits' map")
fig.axes[0].scatter(grid[:, 0], grid[:, 1], s=18, c="black", marker="s")

grid_fig = Figure(figsize=(9, 5.2), dpi=100)
for i, image in enumerate(images):
    ax = grid_fig.add_subplot(len(rows), len(steps), i + 1)
    ax.imshow(image.reshape(8, 8), cmap="gray_r", vmin=0, vmax=16)
    ax.set_axis_off()
grid_fig.suptitle("inverse_transform of the grid: from the 3s (left) to the 9s (right)")
