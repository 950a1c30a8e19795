"""Unit handling: reads `units` attributes, converts to the kernels' units with pint.

The kernels work in K, Pa, m, m s-1, m s-2 and degrees. A `units` attribute in CF or radar-file
spelling (``m s-1``, ``m2 s-2``, ``kg kg-1``, ``degC``, ``hPa``, ``km``, ``knots``, ``meters``,
``degrees``) is parsed with pint after its exponents are rewritten in pint's syntax. Task functions
get unit strings only (never pint objects), so dask graphs pickle to distributed workers.
"""

from __future__ import annotations

import functools
import re
from typing import Any

import numpy as np
import numpy.typing as npt

# Logarithmic radar quantities: pint would turn them into linear ratios, so they are only checked.
LOG_UNITS = {"dbz": ("dBZ",), "zdr": ("dB",)}

_TOKEN = re.compile(r"^([A-Za-z_%]+)\^?(-?\d+)$")
_UDUNITS_DOT = re.compile(r"(?<=[A-Za-z0-9])\.(?=[A-Za-z])")
_SYNONYMS = {"1": "dimensionless", "-": "dimensionless", "degrees": "degree", "deg": "degree"}


@functools.cache
def registry() -> Any:
    """The process's pint unit registry, made on first use."""
    import pint

    return pint.UnitRegistry(cache_folder=None)


def pint_spelling(units: str) -> str:
    """`units` rewritten for pint's parser: ``m s-1`` becomes ``m * s**-1``."""
    text = _UDUNITS_DOT.sub(" ", units.strip())
    if text in _SYNONYMS:
        return _SYNONYMS[text]
    if any(c in text for c in "*/()"):
        return text
    parts = []
    for token in text.split():
        m = _TOKEN.match(token)
        if m is not None:
            name = _SYNONYMS.get(m.group(1), m.group(1))
            parts.append(f"{name}**{m.group(2)}")
        else:
            parts.append(_SYNONYMS.get(token, token))
    return " * ".join(parts) if parts else "dimensionless"


def unit_of(obj: object) -> str | None:
    """The `units` attribute of an xarray object (None when absent or blank)."""
    attrs = getattr(obj, "attrs", None)
    if not attrs:
        return None
    units = attrs.get("units")
    if units is None:
        return None
    text = str(units).strip()
    return text or None


@functools.cache
def conversion(units: str, target: str, name: str) -> str | None:
    """Checks that `units` converts to `target`; None when nothing needs doing.

    Unknown or incompatible units raise ValueError naming the argument `name`; pint's own
    errors never escape. The result is the pint spelling of `units` to convert from.
    """
    ureg = registry()
    spelled, target = pint_spelling(units), pint_spelling(target)
    try:
        source = ureg.Unit(spelled)
    except Exception:
        raise ValueError(f"{name}: unknown unit {units!r}") from None
    try:
        one = ureg.Quantity(1.0, source).to(target).magnitude
        zero = ureg.Quantity(0.0, source).to(target).magnitude
    except Exception:
        raise ValueError(f"{name}: unit {units!r} cannot be converted to {target!r}") from None
    if one == 1.0 and zero == 0.0:
        return None
    return spelled


def check(obj: object, target: str, name: str) -> str | None:
    """The pint spelling to convert `obj` from, or None when it is already in `target`."""
    units = unit_of(obj)
    if units is None:
        return None
    return conversion(units, target, name)


def check_log(obj: object, name: str) -> None:
    """Logarithmic fields must come in their own unit (or none): they are never converted."""
    units = unit_of(obj)
    allowed = LOG_UNITS[name]
    if units is not None and units not in allowed:
        raise ValueError(f"{name}: unit {units!r} is not {allowed[0]!r} (logarithmic values are not converted)")


def convert(x: npt.ArrayLike, source: str | None, target: str) -> npt.NDArray[Any]:
    """Values `x` in the pint units `source` expressed in `target` (unchanged when source is None)."""
    if source is None:
        return np.asarray(x)
    ureg = registry()
    return np.asarray(ureg.Quantity(np.asarray(x, dtype=np.float64), source).to(pint_spelling(target)).magnitude)
