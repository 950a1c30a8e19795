"""Unit handling: reads `units` attributes and pint quantities, converts to the kernels' units.

The kernels work in K, Pa, m, m s-1, m s-2, degrees and plain numbers. A unit is read in this
order:

1. the spellings of `SPELLINGS` for the quantity the input is (a speed, a pressure, ...): the
   field's own strings, as radar and model files and their readers (xradar, Py-ART, MetPy) write
   them, including the ones pint reads otherwise (``mb`` is millibar for a pressure, pint's
   millibarn; ``C`` is degrees Celsius for a temperature, pint's coulomb; ``kt`` is knots, pint's
   kilotonne; ``gpm``, geopotential metres, is metres as MetPy takes it);
2. the same spellings of the other quantities (so ``mb`` given for a length says it is a pressure);
3. pint, after CF exponents are rewritten in pint's syntax (``m2 s-2`` is ``m**2 * s**-2``).

Spellings that pint would read as something else than what was surely meant (`MISREAD`: ``ms-1``
is per millisecond) are refused with what they read as and what was probably meant. Angles and
plain numbers are both dimensionless to pint; here an angle must be an angle (``1`` is not read as
radians, ``degree`` not as 0.0175). Logarithmic units (``dBZ``, ``dB``) are only checked, never
converted. Task functions get unit strings only (never pint objects), so dask graphs pickle to
distributed workers.
"""

from __future__ import annotations

import functools
import re
from collections.abc import Mapping
from typing import Any

import numpy as np
import numpy.typing as npt

# The accepted spellings per quantity and what each means (a pint unit), for users and the docs.
SPELLINGS: dict[str, dict[str, str]] = {
    "speed": {
        "m s-1": "meter / second",
        "m/s": "meter / second",
        "meters per second": "meter / second",
        "meters per seconds": "meter / second",
        "meters_per_second": "meter / second",
        "metres per second": "meter / second",
        "knots": "knot",
        "knot": "knot",
        "kt": "knot",
        "kts": "knot",
        "KT": "knot",
    },
    "dimensionless": {
        "1": "dimensionless",
        "-": "dimensionless",
        "unitless": "dimensionless",
        "ratio": "dimensionless",
        "count": "dimensionless",
        "dimensionless": "dimensionless",
        "fraction": "dimensionless",
    },
    "angle": {"degrees": "degree", "degree": "degree", "deg": "degree", "radians": "radian"},
    "temperature": {
        "K": "kelvin",
        "kelvin": "kelvin",
        "degC": "degree_Celsius",
        "deg Celsius": "degree_Celsius",
        "degree_Celsius": "degree_Celsius",
        "degrees_Celsius": "degree_Celsius",
        "Celsius": "degree_Celsius",
        "C": "degree_Celsius",
        "degF": "degree_Fahrenheit",
    },
    "pressure": {
        "Pa": "pascal",
        "hPa": "hectopascal",
        "kPa": "kilopascal",
        "mb": "millibar",
        "mbar": "millibar",
        "millibar": "millibar",
        "hectopascal": "hectopascal",
        "inHg": "inch_Hg",
    },
    "length": {
        "m": "meter",
        "meter": "meter",
        "meters": "meter",
        "metres": "meter",
        "km": "kilometer",
        "ft": "foot",
        "gpm": "meter",
    },
}

# Logarithmic radar quantities: pint would turn them into linear ratios, so they are only checked.
LOG_UNITS = {"dbz": ("dBZ", "dBz"), "zdr": ("dB",)}

# Spellings refused because pint reads them as something else: (what pint reads, what was meant).
MISREAD = {
    "ms-1": ("per millisecond", "m s-1"),
    "ms^-1": ("per millisecond", "m s-1"),
    "ms**-1": ("per millisecond", "m s-1"),
}

# The quantity of each unit the kernels work in (the key into SPELLINGS).
QUANTITY = {
    "m s-1": "speed",
    "dimensionless": "dimensionless",
    "degree": "angle",
    "K": "temperature",
    "Pa": "pressure",
    "m": "length",
}

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
    if any(c in text for c in "*/()") or " per " in text:
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


def spelled(units: str, target: str) -> str:
    """The pint spelling of `units` given for an input of `target`'s quantity."""
    text = " ".join(units.split())
    own = SPELLINGS.get(QUANTITY.get(target, ""), {})
    if text in own:
        return own[text]
    for table in SPELLINGS.values():
        if text in table:
            return table[text]
    return pint_spelling(text)


def unit_of(obj: object) -> str | None:
    """The `units` attribute of an xarray object (None when absent or blank)."""
    attrs = getattr(obj, "attrs", None)
    if not attrs:
        return None
    units = attrs.get("units")
    if units is None:
        return None
    text = (units.decode() if isinstance(units, bytes) else str(units)).strip()
    return text or None


def _is_angle(ureg: Any, unit: Any) -> bool:
    return bool(str(ureg.get_root_units(unit)[1]) == "radian")


@functools.cache
def conversion(units: str, target: str, name: str) -> str | None:
    """Checks that `units` converts to `target`; None when nothing needs doing.

    Unknown or incompatible units raise ValueError naming the argument `name`; pint's own
    errors never escape. The result is the pint spelling of `units` to convert from.
    """
    text = " ".join(units.split())
    if text in MISREAD:
        read, meant = MISREAD[text]
        raise ValueError(
            f"{name}: unit {units!r} reads as {read}; write {meant!r} if that was meant"
        )
    if any(text in spellings for spellings in LOG_UNITS.values()):
        raise ValueError(
            f"{name}: unit {units!r} is logarithmic and cannot be converted to {target!r}"
        )
    source_spelling, target_spelling = spelled(text, target), spelled(target, target)
    if source_spelling == target_spelling:
        # the kernel's own unit under one of its spellings: nothing to convert, and no
        # registry to build (half a second, most of a small command's start)
        return None
    ureg = registry()
    try:
        source = ureg.Unit(source_spelling)
    except Exception:
        raise ValueError(f"{name}: unknown unit {units!r}") from None
    try:
        if _is_angle(ureg, source) != _is_angle(ureg, ureg.Unit(target_spelling)):
            raise ValueError
        one = ureg.Quantity(1.0, source).to(target_spelling).magnitude
        zero = ureg.Quantity(0.0, source).to(target_spelling).magnitude
    except Exception:
        raise ValueError(f"{name}: unit {units!r} cannot be converted to {target!r}") from None
    if one == 1.0 and zero == 0.0:
        return None
    return source_spelling


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
        raise ValueError(
            f"{name}: unit {units!r} is not {allowed[0]!r} (logarithmic values are not converted)"
        )


def convert(x: npt.ArrayLike, source: str | None, target: str) -> npt.NDArray[Any]:
    """Values `x` in the pint units `source` expressed in `target` (unchanged for no source)."""
    if source is None:
        return np.asarray(x)
    ureg = registry()
    q = ureg.Quantity(np.asarray(x, dtype=np.float64), source)
    return np.asarray(q.to(spelled(target, target)).magnitude)


# --- pint quantities ------------------------------------------------------------------------------


def is_quantity(x: object) -> bool:
    """True for a pint Quantity (of any registry), without importing pint."""
    return any(
        c.__module__.startswith("pint") and c.__name__ == "Quantity" for c in type(x).__mro__
    )


def quantity_units(q: Any) -> str:
    """The units of a pint Quantity as a string this module reads back."""
    return str(q.units)


def magnitude(x: Any) -> tuple[Any, str | None]:
    """(the plain data, its units) of array data: a pint Quantity's magnitude and units, or
    the data itself and None."""
    if is_quantity(x):
        return x.magnitude, quantity_units(x)
    return x, None


def attr_units(attrs: Mapping[Any, Any], units: str | None) -> dict[Any, Any]:
    """`attrs` with `units` in place of a `units` attribute (unchanged for None)."""
    out = dict(attrs)
    if units is not None:
        out["units"] = units
    return out
