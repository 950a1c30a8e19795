"""Real sample files for the examples and tests: a pinned registry, read locally or downloaded.

`fetch` returns the path of one file of the registry. It is looked up first in a local folder,
``$TARNWELL_DATA`` when that is set, else ``<checkout>/../shared/data`` when that exists (the
layout is ``radar/...`` and ``soundings/...``), and otherwise downloaded once with pooch into
the user's cache (``$TARNWELL_CACHE/datasets`` or pooch's per-user cache folder) from the public
repositories the files come from. Every file, local or downloaded, is checked against the
sha256 pinned here before its path is returned, so a truncated or altered copy is never read.
"""

from __future__ import annotations

import hashlib
import os
from pathlib import Path
from typing import Any

# name -> (sha256, where it is published: repository and path under its main branch)
REGISTRY: dict[str, tuple[str, str]] = {
    "radar/KLBB20160601_150025_V06": (
        "b5b8639605a0c88be1ed1f1941333304e559fcf31f8ca3c98aac1520c9896914",
        "openradar/open-radar-data/data/KLBB20160601_150025_V06",
    ),
    "radar/T_PAZA63_C_LFPW_20230420065041.h5": (
        "0efe70141f0063ee8084a3ff55ebd73d2edb4792474cc9d4de2291b24eb641ee",
        "openradar/open-radar-data/data/T_PAZA63_C_LFPW_20230420065041.h5",
    ),
    "radar/example_plot_ppi_single_sweep.nc": (
        "5b2d29b764b33231cd5fcfde70a600a96122910c519755662fe8dde6ce0038dd",
        "openradar/open-radar-data/data/example_plot_ppi_single_sweep.nc",
    ),
    "soundings/may4_sounding.txt": (
        "b3a7c3ee4b1bdb1e1961492265c23f42947dc627156cfacb5fdebac0ad0b4350",
        "Unidata/MetPy/staticdata/may4_sounding.txt",
    ),
    "soundings/20110522_OUN_12Z.txt": (
        "9a831910c077173deede5432b147438c033a460b06a5305697a5a481f9073e21",
        "Unidata/MetPy/staticdata/20110522_OUN_12Z.txt",
    ),
}

# Raw files of a public GitHub repository: base + "owner/name/raw/main/path".
GITHUB_RAW = "https://github.com/{owner}/{name}/raw/main/{path}"

# Hashes already checked in this process, by (path, size, modification time).
_verified: set[tuple[str, int, int]] = set()


def names() -> list[str]:
    """The names `fetch` accepts, sorted."""
    return sorted(REGISTRY)


def url(name: str) -> str:
    """Where the file `name` is published."""
    owner, repo, path = _entry(name)[1].split("/", 2)
    return GITHUB_RAW.format(owner=owner, name=repo, path=path)


def local_dir() -> Path | None:
    """The local folder of sample files: ``$TARNWELL_DATA``, else ``<checkout>/../shared/data``.

    None when neither is set or present. A ``TARNWELL_DATA`` that names no folder is a
    `ValueError` rather than a silent download.
    """
    given = os.environ.get("TARNWELL_DATA")
    if given:
        folder = Path(given).expanduser()
        if not folder.is_dir():
            raise ValueError(f"TARNWELL_DATA: {given!r} is not a folder")
        return folder
    beside = Path(__file__).resolve().parents[3] / "shared" / "data"
    return beside if beside.is_dir() else None


def fetch(name: str, *, download: bool = True) -> Path:
    """Path of the sample file `name`, its sha256 checked.

    Parameters
    ----------
    name : str
        One of `names`, such as ``"radar/KLBB20160601_150025_V06"`` or
        ``"soundings/may4_sounding.txt"``.
    download : bool
        Whether a file absent from the local folder (`local_dir`) may be downloaded (with pooch,
        into the user's cache). False makes a missing file a `FileNotFoundError`.

    Returns
    -------
    pathlib.Path
        The local file, or the cached download. Nothing is copied out of the local folder.

    Raises
    ------
    ValueError
        An unknown `name`, or a file whose sha256 differs from the registry's (the file is
        never returned; a corrupt download is removed so that the next call fetches it again).
    FileNotFoundError
        The file is in no local folder and `download` is False.

    Examples
    --------
    >>> from tarnwell import datasets
    >>> path = datasets.fetch("soundings/may4_sounding.txt")  # doctest: +SKIP
    """
    sha256, _ = _entry(name)
    folder = local_dir()
    if folder is not None and (folder / name).is_file():
        return _checked(folder / name, sha256, name)
    if not download:
        where = folder / name if folder is not None else "no local folder (set TARNWELL_DATA)"
        raise FileNotFoundError(f"{name}: not found locally ({where}) and download=False")
    return _checked(_download(name, sha256), sha256, name, remove=True)


def _entry(name: str) -> tuple[str, str]:
    if not isinstance(name, str) or name not in REGISTRY:
        raise ValueError(f"name: unknown sample file {name!r}; known: {', '.join(names())}")
    return REGISTRY[name]


def _sha256(path: Path) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def _checked(path: Path, sha256: str, name: str, remove: bool = False) -> Path:
    stat = path.stat()
    key = (str(path.resolve()), stat.st_size, stat.st_mtime_ns)
    if key in _verified:
        return path
    actual = _sha256(path)
    if actual != sha256:
        if remove:
            path.unlink(missing_ok=True)
        raise ValueError(f"{name}: {path} has sha256 {actual}, expected {sha256}")
    _verified.add(key)
    return path


def _cache_dir() -> Path:
    base = os.environ.get("TARNWELL_CACHE")
    if base:
        return Path(base).expanduser() / "datasets"
    return Path(_pooch().os_cache("tarnwell"))


def _pooch() -> Any:
    """pooch, imported only for a download (it has no type information)."""
    import pooch  # type: ignore[import-untyped]

    return pooch


def _download(name: str, sha256: str) -> Path:
    pooch = _pooch()
    # pooch writes under a temporary name and moves the file into place only once its hash
    # matches, so an interrupted download leaves nothing that looks complete.
    store = pooch.create(
        path=_cache_dir(), base_url="", registry={name: f"sha256:{sha256}"}, urls={name: url(name)}
    )
    return Path(store.fetch(name, progressbar=False))
