"""The package on a real dask.distributed cluster of two worker processes: every function on
chunked inputs equals the in-memory call bit for bit, perturb's member chunks equal the one call,
the kernels run in the workers on one thread each, and the archive command submits to the
cluster's address."""

from __future__ import annotations

from collections.abc import Iterator
from pathlib import Path

import numpy as np
import pytest
import xarray as xr

distributed = pytest.importorskip("distributed")

from conftest import CASES, VAD_ARGS, assert_same_store, same_ds, sweeps  # noqa: E402

import tarnwell  # noqa: E402
from tarnwell import _apply, archive  # noqa: E402

# input stores are written with xarray, whose consolidated metadata Zarr 3 warns about
pytestmark = pytest.mark.filterwarnings("ignore:Consolidated metadata")


@pytest.fixture(scope="module")
def client() -> Iterator[distributed.Client]:
    with (
        distributed.LocalCluster(
            n_workers=2,
            threads_per_worker=1,
            processes=True,
            host="127.0.0.1",
            dashboard_address=None,
            memory_limit="2GiB",
            scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
        ) as cluster,
        distributed.Client(cluster, timeout="60s") as c,
    ):
        c.wait_for_workers(2, timeout=60)
        yield c


def test_every_function_on_the_cluster_equals_memory(client: distributed.Client) -> None:
    with distributed.get_task_stream(client) as stream:
        for case in CASES:
            ds, _, _, inputs, call = case()
            lazy = call(
                **{
                    k: v.chunk({d: max(1, s // 2 - 1) for d, s in v.sizes.items()})
                    for k, v in inputs.items()
                }
            )
            same_ds(client.compute(lazy).result(timeout=120), ds)
    # the chunks ran in both worker processes, each kernel call on its worker's one thread
    assert len({t["worker"] for t in stream.data}) == 2
    assert client.submit(_apply.threads, None, pure=False).result(timeout=60) == 1


def test_perturb_member_chunks_on_the_cluster(client: distributed.Client) -> None:
    rng = np.random.default_rng(3)
    dbz = xr.DataArray(rng.uniform(0.0, 60.0, (9, 11)), dims=("azimuth", "range"))
    fac = rng.uniform(0.05, 0.3, 6).tolist()
    kw = dict(fac=fac, members=24, key=(5, 2**64 - 3), m0=100, bias_dbz=np.arange(24.0))
    one = tarnwell.perturb(dbz=dbz, zdr=dbz / 20, vel=dbz - 30, **kw)
    lazy = tarnwell.perturb(dbz=dbz.chunk(azimuth=4), zdr=dbz / 20, vel=dbz - 30, chunks=3, **kw)
    assert len(lazy.dbz.chunks[0]) == 8
    same_ds(client.compute(lazy).result(timeout=120), one)


def test_archive_on_a_cluster_address(client: distributed.Client, tmp_path: Path) -> None:
    sweeps().chunk(sweep=4).to_zarr(tmp_path / "in.zarr")
    src, local, remote = (str(tmp_path / n) for n in ("in.zarr", "local.zarr", "remote.zarr"))
    assert archive.main([src, local, "vad", *VAD_ARGS]) == 0
    assert (
        archive.main([src, remote, "vad", *VAD_ARGS, "--scheduler", client.scheduler.address]) == 0
    )
    assert_same_store(Path(remote), Path(local))
    assert (
        client.status == "running" and len(client.scheduler_info()["workers"]) == 2
    )  # left running
