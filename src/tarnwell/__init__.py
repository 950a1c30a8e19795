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

import sys
import types
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .atmosphere import cold_pool, gradient, profile, thermo, vad
    from .ensemble import mode, perturb, statistics
    from .environment import refractive_index, storm_motion
    from .parcel import parcel
    from .refraction import trace
    from .volume import georeference, wind_profile

# Each function's module, imported on first use: `import tarnwell` costs nothing, so that
# `python -m tarnwell.archive` can start its cluster's workers before it imports xarray.
MODULES = {
    "cold_pool": "atmosphere",
    "gradient": "atmosphere",
    "profile": "atmosphere",
    "thermo": "atmosphere",
    "vad": "atmosphere",
    "mode": "ensemble",
    "perturb": "ensemble",
    "statistics": "ensemble",
    "refractive_index": "environment",
    "storm_motion": "environment",
    "parcel": "parcel",
    "trace": "refraction",
    "georeference": "volume",
    "wind_profile": "volume",
}


def __getattr__(name: str) -> Any:
    if name not in MODULES:
        raise AttributeError(f"module 'tarnwell' has no attribute {name!r}")
    import importlib

    value = getattr(importlib.import_module(f".{MODULES[name]}", __name__), name)
    globals()[name] = value  # once: later lookups are plain attributes
    return value


def __dir__() -> list[str]:
    return sorted({*globals(), *MODULES})


class _Package(types.ModuleType):
    def __setattr__(self, name: str, value: Any) -> None:
        # importing the submodule `parcel` binds it here by its name: `tarnwell.parcel` stays the
        # function of that name, as when the package imported it itself
        if isinstance(value, types.ModuleType) and MODULES.get(name) == name:
            value = getattr(value, name)
        super().__setattr__(name, value)


sys.modules[__name__].__class__ = _Package


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
