"""Minimal vendored native kernels for brembolt.vornik."""

from collections.abc import Buffer

def knn_descent_f32(
    x: Buffer,
    idx: Buffer,
    dist: Buffer,
    n: int,
    d: int,
    k: int,
    n_trees: int,
    n_iters: int,
    seed: int,
    leaf_size: int,
    n_threads: int,
    /,
) -> int:
    """Fill kNN indices and squared distances with the vendored Vornik kNN kernel."""

def umap_graph_f32(
    idx: Buffer,
    dist: Buffer,
    out_rows: Buffer,
    out_cols: Buffer,
    out_vals: Buffer,
    n_samples: int,
    n_neighbors: int,
    /,
) -> None:
    """Build symmetrized UMAP fuzzy graph COO buffers from dense kNN arrays."""

def umap_graph_f32_parallel(
    idx: Buffer,
    dist: Buffer,
    out_rows: Buffer,
    out_cols: Buffer,
    out_vals: Buffer,
    n_samples: int,
    n_neighbors: int,
    n_threads: int,
    /,
) -> None:
    """umap_graph_f32 with its rows split between n_threads threads; the same bits."""

def umap_layout_euclidean_f32(
    embedding: Buffer,
    head: Buffer,
    tail: Buffer,
    epochs_per_sample: Buffer,
    n_samples: int,
    dim: int,
    n_epochs: int,
    a: float,
    b: float,
    gamma: float,
    initial_alpha: float,
    negative_sample_rate: float,
    seed: int,
    n_threads: int,
    /,
) -> int:
    """Optimize a UMAP layout in-place with the vendored pthread kernel."""

def knn_query_f32(
    x: Buffer,
    graph: Buffer,
    pivots: Buffer,
    queries: Buffer,
    idx: Buffer,
    dist: Buffer,
    n: int,
    d: int,
    width: int,
    n_pivots: int,
    n_queries: int,
    k: int,
    beam: int,
    n_entries: int,
    n_threads: int,
    /,
) -> int:
    """Fill the k nearest training rows of new rows by a walk over a fitted search graph."""

def umap_query_memberships_f32(
    idx: Buffer,
    dist: Buffer,
    vals: Buffer,
    n_queries: int,
    n_neighbors: int,
    /,
) -> None:
    """Membership strengths of new rows to their training neighbours from dense kNN arrays."""

def umap_layout_new_points_f32(
    embedding: Buffer,
    reference: Buffer,
    tail: Buffer,
    epochs_per_sample: Buffer,
    keys: Buffer,
    n_points: int,
    n_reference: int,
    dim: int,
    width: int,
    n_epochs: int,
    a: float,
    b: float,
    gamma: float,
    initial_alpha: float,
    negative_sample_rate: float,
    seed: int,
    n_threads: int,
    /,
) -> int:
    """Optimize the layout of new points in-place against a frozen reference embedding."""

def knn_descent_f32_ctl(
    x: Buffer,
    idx: Buffer,
    dist: Buffer,
    n: int,
    d: int,
    k: int,
    n_trees: int,
    n_iters: int,
    seed: int,
    leaf_size: int,
    tree_workers: int,
    n_threads: int,
    control: Buffer | None,
    /,
) -> int:
    """knn_descent_f32 with the number of tree workers given (0: one per tree), so that the result does not depend on n_threads, and a control block (progress, stop) or None."""

def knn_descent_metric_f32(
    x: Buffer,
    idx: Buffer,
    dist: Buffer,
    n: int,
    d: int,
    k: int,
    n_trees: int,
    n_iters: int,
    seed: int,
    leaf_size: int,
    tree_workers: int,
    n_threads: int,
    control: Buffer | None,
    metric: str,
    p: float,
    /,
) -> int:
    """knn_descent_f32_ctl in metric 'manhattan', 'chebyshev' or 'minkowski' (with p): distances in the metric's units, for Minkowski its p-th power."""

def knn_descent_bits_u64(
    x: Buffer,
    idx: Buffer,
    dist: Buffer,
    n: int,
    n_words: int,
    k: int,
    n_trees: int,
    n_iters: int,
    seed: int,
    leaf_size: int,
    tree_workers: int,
    n_threads: int,
    control: Buffer | None,
    metric: str,
    /,
) -> int:
    """knn_descent_f32_ctl on bit-packed rows (n x n_words uint64 words) in metric 'hamming' (distances: differing bits), 'jaccard' or 'dice'."""

def knn_descent_sparse_f32(
    indptr: Buffer,
    indices: Buffer,
    data: Buffer,
    idx: Buffer,
    dist: Buffer,
    n: int,
    n_cols: int,
    k: int,
    n_trees: int,
    n_iters: int,
    seed: int,
    leaf_size: int,
    tree_workers: int,
    n_threads: int,
    control: Buffer | None,
    metric: str,
    /,
) -> int:
    """knn_descent_f32_ctl on a CSR matrix (indptr int64, indices int32 ascending within rows, data float32; n rows of n_cols) in metric 'sqeuclidean', 'manhattan' or 'jaccard' (of the non-zero pattern)."""

def knn_query_sparse_f32(
    indptr: Buffer,
    indices: Buffer,
    data: Buffer,
    n_train: int,
    q_indptr: Buffer,
    q_indices: Buffer,
    q_data: Buffer,
    n_queries: int,
    n_cols: int,
    idx: Buffer,
    dist: Buffer,
    k: int,
    metric: str,
    n_threads: int,
    /,
) -> int:
    """Exact k nearest training rows of each query row, both CSR matrices as in knn_descent_sparse_f32, rows ascending by distance, ties by id."""

def umap_layout_euclidean_f32_ctl(
    embedding: Buffer,
    head: Buffer,
    tail: Buffer,
    epochs_per_sample: Buffer,
    n_samples: int,
    dim: int,
    n_epochs: int,
    a: float,
    b: float,
    gamma: float,
    initial_alpha: float,
    negative_sample_rate: float,
    seed: int,
    n_threads: int,
    control: Buffer | None,
    /,
) -> int:
    """umap_layout_euclidean_f32 with a control block (progress, stop) or None."""

def umap_layout_euclidean_f32_parts(
    embedding: Buffer,
    head: Buffer,
    tail: Buffer,
    epochs_per_sample: Buffer,
    n_samples: int,
    dim: int,
    n_epochs: int,
    a: float,
    b: float,
    gamma: float,
    initial_alpha: float,
    negative_sample_rate: float,
    seed: int,
    n_parts: int,
    n_substeps: int,
    n_threads: int,
    control: Buffer | None,
    /,
) -> int:
    """Optimize a UMAP layout in-place on n_parts gradient buffers, with a result that does not depend on n_threads; takes a control block (progress, stop) or None."""

def umap_layout_euclidean_f32_parts_in_schedule_order(
    embedding: Buffer,
    head: Buffer,
    tail: Buffer,
    epochs_per_sample: Buffer,
    n_samples: int,
    dim: int,
    n_epochs: int,
    a: float,
    b: float,
    gamma: float,
    initial_alpha: float,
    negative_sample_rate: float,
    seed: int,
    n_parts: int,
    n_substeps: int,
    n_threads: int,
    control: Buffer | None,
    /,
) -> int:
    """umap_layout_euclidean_f32_parts on edges given in schedule order (see umap_layout_substeps), read where they are instead of copied."""

def umap_layout_substeps(
    n_edges: int,
    n_samples: int,
    n_substeps: int,
    /,
) -> int:
    """The substeps per epoch of a parts layout of n_edges edges on n_samples points asked for n_substeps (0: the default count)."""

def knn_query_f32_ctl(
    x: Buffer,
    graph: Buffer,
    pivots: Buffer,
    tree_order: Buffer,
    tree_splits: Buffer,
    tree_thresholds: Buffer,
    queries: Buffer,
    idx: Buffer,
    dist: Buffer,
    n: int,
    d: int,
    width: int,
    n_pivots: int,
    n_trees: int,
    leaf_size: int,
    n_queries: int,
    k: int,
    beam: int,
    n_entries: int,
    n_threads: int,
    control: Buffer | None,
    /,
) -> int:
    """knn_query_f32 with a search forest (n_trees 0: none) and a control block (progress: query rows answered; stop) or None."""

def knn_search_forest_f32(
    x: Buffer,
    tree_order: Buffer,
    tree_splits: Buffer,
    tree_thresholds: Buffer,
    n: int,
    d: int,
    n_trees: int,
    leaf_size: int,
    seed: int,
    n_threads: int,
    control: Buffer | None,
    /,
) -> int:
    """Build the search forest of the training rows x for knn_query_f32_ctl; takes a control block (progress: trees built; stop) or None."""

def knn_forest_nodes(n: int, leaf_size: int, /) -> int:
    """The split slots per tree of a search forest over n points with leaves of at most leaf_size points."""

def umap_layout_new_points_f32_ctl(
    embedding: Buffer,
    reference: Buffer,
    tail: Buffer,
    epochs_per_sample: Buffer,
    keys: Buffer,
    n_points: int,
    n_reference: int,
    dim: int,
    width: int,
    n_epochs: int,
    a: float,
    b: float,
    gamma: float,
    initial_alpha: float,
    negative_sample_rate: float,
    seed: int,
    n_threads: int,
    control: Buffer | None,
    /,
) -> int:
    """umap_layout_new_points_f32 with a control block (progress: points placed; stop) or None."""

def umap_inverse_points_f32(
    data: Buffer,
    embedding: Buffer,
    points: Buffer,
    neighbours: Buffer,
    out: Buffer,
    weights: Buffer | None,
    n_fitted: int,
    n_dims: int,
    dim: int,
    n_points: int,
    k: int,
    a: float,
    b: float,
    n_threads: int,
    control: Buffer | None,
    /,
) -> int:
    """Points of the data space for points of the embedding: means of their fitted neighbours' rows, weighted by the embedding's membership curve; takes a control block or None."""

def umap_layout_density_f32(
    embedding: Buffer,
    head: Buffer,
    tail: Buffer,
    epochs_per_sample: Buffer,
    n_samples: int,
    dim: int,
    n_epochs: int,
    a: float,
    b: float,
    gamma: float,
    initial_alpha: float,
    negative_sample_rate: float,
    seed: int,
    data_radius: Buffer | None,
    strength: float,
    density_epochs: int,
    variance_shift: float,
    n_parts: int,
    n_substeps: int,
    n_threads: int,
    in_schedule_order: bool,
    control: Buffer | None,
    /,
) -> int:
    """umap_layout_euclidean_f32_parts with a density term over its last density_epochs epochs, tying each vertex's local radius in the embedding to data_radius; takes a control block (progress, stop) or None."""
