"""
New points in a fitted map
==========================

A model fitted on two thirds of the digits places the remaining third with ``transform``: each
new row by its own values alone, next to the training rows it resembles. The picture shows the
training points in grey and the new ones coloured by digit.
"""

import numpy as np
from sklearn.datasets import load_digits

from brembolt.vornik import UMAP, knn_accuracy
from brembolt.vornik.plot import plot_embedding

X, digit = load_digits(return_X_y=True)
train = np.arange(len(X)) % 3 != 0
model = UMAP(random_state=42).fit(X[train])
Y_new = model.transform(X[~train])

both = np.vstack([model.embedding_, Y_new])
labels = np.concatenate([np.full(train.sum(), -1), digit[~train]])
print(f"10-NN accuracy of the new points among themselves: {knn_accuracy(Y_new, digit[~train]):.4f}")

fig = plot_embedding(both, labels=labels, title="new points (coloured) among the training points")
