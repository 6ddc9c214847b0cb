"""
Semi-supervised: a fifth of the labels
======================================

Only 20 % of the digits keep their label; the others are marked unlabelled (−1). The labelled
points shape the fit (edges between different classes are weakened), the picture draws the
unlabelled points in light grey beneath the classes and outside the legend, and the accuracy
counts the labelled points only.
"""

import numpy as np
from sklearn.datasets import load_digits

from brembolt.vornik import UMAP, knn_accuracy
from brembolt.vornik.plot import plot_embedding

X, digit = load_digits(return_X_y=True)
hidden = np.random.default_rng(0).random(len(digit)) < 0.8
partial = np.where(hidden, -1, digit)

Y = UMAP(random_state=42).fit_transform(X, partial)
print(f"{(~hidden).sum()} labelled points, 10-NN accuracy {knn_accuracy(Y, partial):.4f}")

fig = plot_embedding(Y, labels=partial, title="20 % of the digits labelled")
