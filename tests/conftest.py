"""Helpers shared by the test modules."""

from __future__ import annotations

import os
from pathlib import Path

import pytest

# The real sample files (radar volumes, soundings) beside the checkout, or where TARNWELL_DATA says.
DATA_DIR = Path(os.environ.get("TARNWELL_DATA") or Path(__file__).resolve().parents[2] / "shared" / "data")


@pytest.fixture(scope="session")
def shared_data() -> Path:
    """The folder of real sample files; tests that need it skip, with the path, where it is absent."""
    if not (DATA_DIR / "README.md").is_file():
        host = os.environ.get("TARNWELL_HOST_DATA")  # set by scripts/env.sh where the host has them
        if host:
            pytest.fail(f"the host has the sample files in {host}, but {DATA_DIR} is not visible here")
        pytest.skip(f"real sample files absent: {DATA_DIR} (set TARNWELL_DATA to their folder)")
    return DATA_DIR
