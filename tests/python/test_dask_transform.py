"""Beyond one machine: a model fitted on a sample transforms a dask array on a cluster of
worker processes, with exactly the bits of the in-process transform."""

import warnings

import numpy as np
import pytest

from brembolt.vornik import UMAP

from conftest import UNDER_ASAN, bits

da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")
wrappers = pytest.importorskip("dask_ml.wrappers")

pytestmark = pytest.mark.skipif(UNDER_ASAN, reason="worker processes would run under ASan too")


def test_parallel_post_fit_on_two_worker_processes_gives_the_in_process_bits():
    rng = np.random.default_rng(0)
    centres = rng.normal(scale=6.0, size=(3, 8))
    x = (centres[rng.integers(0, 3, 1400)] + rng.normal(size=(1400, 8))).astype(np.float32)
    sample, rest = x[:600], x[600:]
    model = UMAP(n_neighbors=10, n_epochs=60, random_state=0, n_jobs=2)
    wrapped = wrappers.ParallelPostFit(model).fit(sample)
    want = wrapped.transform(rest)  # a NumPy array: transformed in this process
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        with warnings.catch_warnings():
            warnings.simplefilter("error")  # nothing to say about the workers' threads
            got = wrapped.transform(da.from_array(rest, chunks=(400, 8))).compute()
            # the recipe for big models: shipped once, then block by block
            shipped = client.scatter(model, broadcast=True)
            blocks = client.gather([client.submit(lambda m, b: m.transform(b), shipped, b)
                                    for b in np.array_split(rest, 3)])
        workers = client.run(lambda: __import__("os").getpid())
    assert len(set(workers.values())) == 2  # two processes did the work
    assert got.dtype == np.float32
    np.testing.assert_array_equal(bits(got), bits(want))
    np.testing.assert_array_equal(bits(np.concatenate(blocks)), bits(want))
