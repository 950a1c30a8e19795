"""The sample-file fetcher: local folder first, pinned hashes always, downloads into a cache."""

from __future__ import annotations

import functools
import http.server
import re
import shutil
import threading
from collections.abc import Iterator
from pathlib import Path

import pytest

from tarnwell import datasets

SMALL = "soundings/may4_sounding.txt"


def test_registry_matches_the_data_readme(shared_data: Path) -> None:
    table = {}
    for line in (shared_data / "README.md").read_text().splitlines():
        m = re.match(r"^\| ([\w./-]+) \|.*\| ([0-9a-f]{64}) \|$", line)
        if m:
            table[m.group(1)] = m.group(2)
    assert table == {name: sha for name, (sha, _) in datasets.REGISTRY.items()}


def test_local_files_are_returned_in_place(
    shared_data: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.setenv("TARNWELL_DATA", str(shared_data))
    for name in datasets.names():
        path = datasets.fetch(name, download=False)
        assert path == shared_data / name


def test_bad_names_folders_and_missing_files(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    with pytest.raises(ValueError, match="name: unknown sample file 'radar/nope'"):
        datasets.fetch("radar/nope")
    monkeypatch.setenv("TARNWELL_DATA", str(tmp_path / "absent"))
    with pytest.raises(ValueError, match="TARNWELL_DATA"):
        datasets.fetch(SMALL)
    monkeypatch.setenv("TARNWELL_DATA", str(tmp_path))
    with pytest.raises(FileNotFoundError, match="download=False"):
        datasets.fetch(SMALL, download=False)


def test_a_local_file_with_the_wrong_hash_is_refused(
    shared_data: Path, tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    (tmp_path / "soundings").mkdir()
    copy = tmp_path / SMALL
    copy.write_bytes((shared_data / SMALL).read_bytes().replace(b"22.2", b"22.3", 1))
    monkeypatch.setenv("TARNWELL_DATA", str(tmp_path))
    with pytest.raises(ValueError, match="sha256"):
        datasets.fetch(SMALL)
    assert copy.exists()  # the user's own file is left alone


@pytest.fixture
def server(tmp_path: Path) -> Iterator[tuple[str, Path]]:
    """A file server on 127.0.0.1 for the download path, stopped at the end of the test."""
    root = tmp_path / "served"
    root.mkdir()
    handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=str(root))
    httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    thread = threading.Thread(target=httpd.serve_forever, daemon=True)
    thread.start()
    try:
        yield f"http://127.0.0.1:{httpd.server_address[1]}/", root
    finally:
        httpd.shutdown()
        thread.join(timeout=10)
        httpd.server_close()


def test_download_into_the_cache_checks_the_hash(
    shared_data: Path, tmp_path: Path, server: tuple[str, Path], monkeypatch: pytest.MonkeyPatch
) -> None:
    base, root = server
    monkeypatch.setenv("TARNWELL_DATA", str(tmp_path / "empty"))
    (tmp_path / "empty").mkdir()
    monkeypatch.setenv("TARNWELL_CACHE", str(tmp_path / "cache"))
    monkeypatch.setattr(datasets, "url", lambda name: base + Path(name).name)

    (root / "may4_sounding.txt").write_bytes(b"not the sounding\n")
    with pytest.raises(ValueError, match="sha256"):
        datasets.fetch(SMALL)
    assert not list((tmp_path / "cache").rglob("may4_sounding.txt"))  # nothing corrupt kept

    shutil.copyfile(shared_data / SMALL, root / "may4_sounding.txt")
    path = datasets.fetch(SMALL)
    assert path == tmp_path / "cache" / "datasets" / SMALL
    assert path.read_bytes() == (shared_data / SMALL).read_bytes()
    (root / "may4_sounding.txt").unlink()
    assert datasets.fetch(SMALL) == path  # served from the cache once there
