"""A storm case from soundings and radar to figures and a CF-NetCDF product.

One synthetic convective storm, analysed end to end with the package's functions:

1. cold pool and gust front: a grid of soundings with a spreading rain-cooled outflow; ``thermo``
   gives θ, θv and θe, buoyancy is θv against the undisturbed sounding, ``cold_pool`` gives the
   intensity and depth maps and ``gradient`` of the near-surface θe outlines the gust front;
2. beam propagation: ``trace`` through a standard atmosphere and through a surface duct for a fan
   of elevations, beside the 4/3-earth model;
3. winds: a clear-air volume scan of a veering low-level jet with noise and gaps, ``vad`` per
   sweep and gate with each gate's height and local elevation from the traced beam, then
   ``profile`` for the storm motion, the 0-1 km and 0-3 km storm-relative helicity and the mean
   wind;
4. ensemble: a reflectivity and ZDR sweep of the storm made into an ensemble with ``perturb``,
   ``statistics`` of both fields and ``mode`` of a threshold classification of every member; one
   member is regenerated alone, and from the raw stream words, to show it is identical;
5. the product: every result above in one CF-NetCDF file readable with plain xarray.

Run it with ``python -m tarnwell.storm [--out DIR] [--figures DIR] [--size small|default]
[--workers N] [--no-figures] [--debug]``. ``--workers N`` runs the same case on a local
dask.distributed cluster of N worker processes (listening on 127.0.0.1 only) and gives the same
numbers. The product needs netCDF4 and the figures matplotlib (the ``demo`` extra).

The modules, each depending only on those before it: `case` (the synthetic storm, its sizes and
thresholds), `files` (folders and complete files only), `stages` (the four analyses), `product`
(the Dataset, its NetCDF file and its summary), `figures` (matplotlib, imported only to draw) and
`command` (`run` and the command line).
"""

from .case import (
    CLASSES,
    COLD_POOL_THRESHOLD,
    GUST_FRONT_GRADIENT,
    OUTFLOW_CENTRE,
    OUTFLOW_RADIUS,
    RADAR,
    RADAR_HEIGHT,
    SIZES,
    Size,
)
from .command import main, run
from .files import CaseError
from .product import summary, write_netcdf
from .stages import classify

__all__ = [
    "CLASSES",
    "COLD_POOL_THRESHOLD",
    "GUST_FRONT_GRADIENT",
    "OUTFLOW_CENTRE",
    "OUTFLOW_RADIUS",
    "RADAR",
    "RADAR_HEIGHT",
    "SIZES",
    "CaseError",
    "Size",
    "classify",
    "main",
    "run",
    "summary",
    "write_netcdf",
]
