"""tarnwell: fast, reproducible kernels for weather radar and the atmosphere, on xarray objects.

Every function takes `xarray.DataArray` inputs (plain numbers for scalar and per-column
settings), converts them from their ``units`` attributes to the units the kernels work in, and
returns an `xarray.Dataset`. dask-backed inputs give lazy results, bit-identical to the in-memory
call whatever the chunking.

``n_threads`` (keyword-only, default None) sets the threads of each kernel call: None means all
cores for in-memory data and, under dask, one thread per task running on a pool thread (dask's
threaded scheduler or a distributed worker already runs one task per worker thread, so more would
oversubscribe the cores) or all cores for a task run on the main thread (synchronous scheduler).
Pass an explicit count to override it.
"""

from .atmosphere import cold_pool, gradient, profile, thermo, vad
from .ensemble import mode, perturb, statistics
from .environment import refractive_index, storm_motion
from .parcel import parcel
from .refraction import trace
from .volume import georeference, wind_profile

__version__ = "0.1.0"  # the one place of the version (pyproject reads it from here)
__all__ = [
    "cold_pool",
    "georeference",
    "gradient",
    "mode",
    "parcel",
    "perturb",
    "profile",
    "refractive_index",
    "statistics",
    "storm_motion",
    "thermo",
    "trace",
    "vad",
    "wind_profile",
]
