"""
The handwritten digits
======================

The 1,797 handwritten digits bundled with scikit-learn (8 × 8 pixels, 64 features), embedded
in 2-D and coloured by the digit each image shows. The fit never sees the digits; the accuracy
of a 10-NN classifier on the embedding says how well they are kept apart.
"""

from sklearn.datasets import load_digits

from brembolt.vornik import UMAP, knn_accuracy, trustworthiness
from brembolt.vornik.plot import plot_embedding

X, digit = load_digits(return_X_y=True)
model = UMAP(n_neighbors=15, min_dist=0.1, random_state=42)
Y = model.fit_transform(X)
print(f"trustworthiness {trustworthiness(X, Y):.4f}, 10-NN accuracy {knn_accuracy(Y, digit):.4f}")

fig = plot_embedding(Y, labels=digit, title="handwritten digits")
