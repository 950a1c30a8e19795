"""scripts/env.sh: commands in the provisioned root see the host's files where the user sees them.

The checks run the real script from inside the root (nested: the root is reachable through the
bound $HOME), so each path crosses the same bind mounts as a user's command does."""

from __future__ import annotations

import hashlib
import os
import re
import subprocess
import sys
from collections.abc import Iterator
from pathlib import Path

import pytest
import xarray as xr
from conftest import DATA_DIR

CHECKOUT = Path(__file__).resolve().parents[1]
ENV_SH = CHECKOUT / "scripts" / "env.sh"
CACHE = Path(os.environ.get("TARNWELL_CACHE") or Path.home() / ".cache" / "tarnwell")


def test_sample_files_are_the_hosts() -> None:
    """Where the host has the sample files they are visible here, byte for byte."""
    host = os.environ.get("TARNWELL_HOST_DATA")
    if not host:
        pytest.skip("not run through scripts/env.sh, or the host has no sample files")
    readme = Path(host) / "README.md"
    assert readme.is_file(), f"{host} is not visible inside the environment"
    assert DATA_DIR.resolve() == Path(host).resolve() or (DATA_DIR / "README.md").is_file()
    rows = re.findall(r"\| (soundings/\S+|radar/\S+) \|.*\| ([0-9a-f]{64}) \|", readme.read_text())
    assert rows
    name, digest = min(rows, key=lambda r: (Path(host) / r[0]).stat().st_size)
    assert hashlib.sha256((Path(host) / name).read_bytes()).hexdigest() == digest


def through_env(args: list[str], cwd: Path) -> subprocess.CompletedProcess[str]:
    """`scripts/env.sh ARGS` from `cwd`, as a user on the host would run it."""
    if not (CACHE / "root" / ".tarnwell-root-complete").is_file() or os.geteuid() != 0:
        pytest.skip(f"the provisioned root is not reachable at {CACHE} as root from here")
    env = {k: v for k, v in os.environ.items() if k not in ("TARNWELL_IN_ROOT", "PYTHONPATH")}
    env |= {"TARNWELL_FORCE_ROOT": "1", "TARNWELL_CACHE": str(CACHE)}
    env["PATH"] = env.get("PATH", "/usr/bin:/bin") + ":/usr/sbin:/sbin"  # unshare, chroot
    env.pop("TARNWELL_USER_DIR", None)
    # the package as installed in the root's environment, or the sources with the built modules
    if "PYTHONPATH" in os.environ:
        env["TARNWELL_PYTHONPATH"] = os.environ["PYTHONPATH"]
    cmd = [
        "bash",
        str(ENV_SH),
        "bash",
        "-c",
        'PYTHONPATH=${TARNWELL_PYTHONPATH:-} exec "$@"',
        "bash",
        *args,
    ]
    return subprocess.run(cmd, cwd=cwd, env=env, capture_output=True, text=True, timeout=300)


@pytest.fixture
def outside() -> Iterator[Path]:
    """A folder outside the checkout and outside /tmp's usual binding: under /var/tmp."""
    base = Path("/var/tmp")
    if not base.is_dir():
        pytest.skip("no /var/tmp")
    d = Path(os.path.realpath(base)) / f"tarnwell-env-{os.getpid()}"
    d.mkdir(exist_ok=True)
    yield d
    subprocess.run(["rm", "-rf", str(d)], check=False)


def test_outputs_land_where_the_user_asked(outside: Path, tmp_path: Path) -> None:
    # the demo, with a relative --out from the user's own directory
    done = through_env(
        [
            sys.executable,
            "-m",
            "tarnwell.storm",
            "--size",
            "small",
            "--no-figures",
            "--out",
            "results",
        ],
        cwd=outside,
    )
    assert done.returncode == 0, done.stderr
    product = outside / "results" / "storm_case.nc"
    assert product.is_file()
    with xr.open_dataset(product, engine="netcdf4") as ds:
        assert "intensity" in ds or len(ds.data_vars) > 10

    # the archive command with IN and OUT elsewhere, by absolute paths
    src, out = outside / "in.zarr", tmp_path / "deep" / "out.zarr"
    out.parent.mkdir()
    dims = ("y", "x")
    xr.Dataset(
        {"t": (dims, [[290.0, 280.0]]), "p": (dims, [[9e4, 8e4]]), "td": (dims, [[280.0, 270.0]])}
    ).to_zarr(src, consolidated=False)
    done = through_env(
        [
            sys.executable,
            "-m",
            "tarnwell.archive",
            str(src),
            str(out),
            "thermo",
            "--arg",
            "t=t",
            "--arg",
            "p=p",
            "--arg",
            "td=td",
        ],
        cwd=CHECKOUT,
    )
    assert done.returncode == 0, done.stderr
    assert xr.open_zarr(out).potential_temperature.shape == (1, 2)


def test_paths_into_the_root_are_refused(tmp_path: Path) -> None:
    done = through_env(["touch", "/usr/local/tarnwell-nowhere/x"], cwd=tmp_path)
    assert done.returncode == 2
    assert done.stderr.count("\n") == 1 and "/usr/local/tarnwell-nowhere/x" in done.stderr
    assert not (CACHE / "root" / "usr" / "local" / "tarnwell-nowhere").exists()
    # the root's own files may still be named
    assert through_env(["test", "-e", "/dev/null"], cwd=tmp_path).returncode == 0
