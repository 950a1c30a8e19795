"""The documentation site: it builds without a warning, its pages render in a browser, its
internal links resolve, every public function has a page and an example, and the code on its
pages runs."""

from __future__ import annotations

import html.parser
import importlib
import inspect
import os
import re
import shutil
import subprocess
import sys
import tempfile
import urllib.parse
from pathlib import Path

import pytest

import tarnwell

ROOT = Path(__file__).resolve().parents[1]
DOCS = ROOT / "docs"
HTML = DOCS / "_build" / "html"
SCREENSHOTS = DOCS / "_build" / "screenshots"
CHROMIUM_FLAGS = [
    "--headless",
    "--no-sandbox",
    "--disable-gpu",
    "--disable-quic",
    "--no-first-run",
    "--disable-background-networking",
    "--disable-component-update",
    "--disable-sync",
]
# Sphinx, the gallery (six examples on real files) and the API pages: a few minutes on 2 cores.
BUILD_TIMEOUT = 900
BROWSER_TIMEOUT = 120


def chromium() -> str | None:
    for name in ("chromium", "chromium-browser"):
        path = shutil.which(name)
        if path:
            return path
    return None


@pytest.fixture(scope="module")
def site(shared_data: Path) -> Path:
    """The site built as ``scripts/run.sh docs`` builds it, warnings as errors."""
    pytest.importorskip("sphinx")
    pytest.importorskip("sphinx_gallery")
    env = dict(os.environ, TARNWELL_DATA=str(shared_data), MPLBACKEND="agg")
    done = subprocess.run(
        [
            sys.executable,
            "-m",
            "sphinx",
            "-W",
            "--keep-going",
            "-q",
            "-b",
            "html",
            str(DOCS),
            str(HTML),
        ],
        env=env,
        capture_output=True,
        text=True,
        timeout=BUILD_TIMEOUT,
        check=False,
    )
    assert done.returncode == 0, done.stdout[-4000:] + done.stderr[-4000:]
    return HTML


class _Page(html.parser.HTMLParser):
    """Links, anchors, title, headings and text of one HTML page."""

    def __init__(self) -> None:
        super().__init__()
        self.links: list[str] = []
        self.ids: set[str] = set()
        self.title = ""
        self.h1 = ""
        self.text: list[str] = []
        self._in: list[str] = []

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        a = dict(attrs)
        for key in ("id", "name"):
            if a.get(key) and (key == "id" or tag == "a"):
                self.ids.add(str(a[key]))
        for key in ("href", "src"):
            if a.get(key) and not (
                tag == "link" and a.get("rel") in ("preconnect", "dns-prefetch")
            ):
                self.links.append(str(a[key]))
        if tag not in ("br", "img", "meta", "link", "input", "hr", "wbr"):
            self._in.append(tag)

    def handle_endtag(self, tag: str) -> None:
        if tag in self._in:
            while self._in and self._in.pop() != tag:
                pass

    def handle_data(self, data: str) -> None:
        if "title" in self._in:
            self.title += data
        if "h1" in self._in:
            self.h1 += data
        if "main" in self._in and not {"script", "style"} & set(self._in):
            self.text.append(data)

    @property
    def main_text(self) -> str:
        """The text of the page's main element, whitespace collapsed, quotes made plain."""
        text = " ".join(" ".join(self.text).split())
        return text.translate(str.maketrans("‘’“”", "''\"\""))


def parse(text: str) -> _Page:
    page = _Page()
    page.feed(text)
    return page


def render(url: str, screenshot: Path) -> _Page:
    """The page as headless Chromium renders it (scripts run), and a screenshot of it."""
    exe = chromium()
    assert exe is not None
    screenshot.parent.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory() as profile:
        common = [exe, *CHROMIUM_FLAGS, f"--user-data-dir={profile}", "--virtual-time-budget=5000"]
        dom = subprocess.run(
            [*common, "--dump-dom", url],
            capture_output=True,
            text=True,
            timeout=BROWSER_TIMEOUT,
            check=False,
        )
        assert dom.returncode == 0, dom.stderr[-2000:]
        shot = subprocess.run(
            [
                *common,
                "--window-size=1280,1600",
                "--hide-scrollbars",
                f"--screenshot={screenshot}",
                url,
            ],
            capture_output=True,
            text=True,
            timeout=BROWSER_TIMEOUT,
            check=False,
        )
        assert shot.returncode == 0, shot.stderr[-2000:]
    return parse(dom.stdout)


def summary(obj: object) -> str:
    doc = inspect.getdoc(obj) or ""
    return " ".join(doc.split("\n\n")[0].split())


@pytest.mark.skipif(
    chromium() is None, reason="Chromium is not installed (Debian package chromium)"
)
@pytest.mark.parametrize(
    ("page", "title", "text"),
    [
        ("index.html", "tarnwell", "bit-identical whatever the number of threads"),
        ("api/generated/tarnwell.thermo.html", "tarnwell.thermo", summary(tarnwell.thermo)),
        ("gallery/plot_vad_nexrad.html", "VAD winds from a real NEXRAD sweep", "gates fitted"),
    ],
)
def test_pages_render_in_a_browser(site: Path, page: str, title: str, text: str) -> None:
    shot = SCREENSHOTS / (page.replace("/", "_").removesuffix(".html") + ".png")
    shot.unlink(missing_ok=True)
    dom = render((site / page).as_uri(), shot)
    assert dom.title.startswith(title), dom.title
    assert title in dom.h1
    assert text in dom.main_text
    assert shot.stat().st_size > 20_000  # a rendered page, not a blank one
    if page.startswith("gallery/"):
        assert any(link.endswith(".png") and "sphx_glr_plot_vad" in link for link in dom.links)


def test_internal_links_resolve(site: Path) -> None:
    # The theme's _static folder holds templates, not pages.
    pages = {
        p: parse(p.read_text(encoding="utf-8"))
        for p in site.rglob("*.html")
        if "_static" not in p.relative_to(site).parts
    }
    assert len(pages) > 40
    broken = []
    # The site reads offline: no script, style sheet or image from the network.
    remote = re.compile(r"<(?:script|link|img)\b[^>]*\b(?:src|href)=\"(?:https?:)?//", re.I)
    for path in pages:
        if remote.search(path.read_text(encoding="utf-8")):
            broken.append(f"{path.relative_to(site)}: loads a resource from the network")
    for path, page in pages.items():
        for link in page.links:
            parts = urllib.parse.urlsplit(link)
            if parts.scheme or parts.netloc or link.startswith(("mailto:", "javascript:", "data:")):
                continue
            target = (
                path
                if not parts.path
                else (path.parent / urllib.parse.unquote(parts.path)).resolve()
            )
            if target.is_dir():
                target = target / "index.html"
            if not target.exists():
                broken.append(f"{path.relative_to(site)}: {link}")
            elif parts.fragment and target.suffix == ".html":
                ids = pages[target].ids if target in pages else set()
                if urllib.parse.unquote(parts.fragment) not in ids:
                    broken.append(f"{path.relative_to(site)}: {link} (no such anchor)")
    assert not broken, "\n".join(broken[:30])


def test_every_function_has_a_page_and_an_example(site: Path) -> None:
    from kernel_stubs import stubbed_modules  # type: ignore[import-not-found]

    missing = []
    for name in tarnwell.__all__:
        page = site / "api" / "generated" / f"tarnwell.{name}.html"
        if (
            not page.exists()
            or summary(getattr(tarnwell, name))[:60] not in parse(page.read_text()).main_text
        ):
            missing.append(f"page of tarnwell.{name}")
        examples = DOCS / "gallery" / "backreferences" / f"tarnwell.{name}.examples"
        if not examples.exists() or "sphx-glr-thumbcontainer" not in examples.read_text():
            missing.append(f"example using tarnwell.{name}")
    # The kernels' pages carry their stubs' text, not pybind11's bare signatures.
    for module in stubbed_modules():
        stub = importlib.import_module(module)
        for name in (n for n in dir(stub) if not n.startswith("_") and callable(getattr(stub, n))):
            page = site / "api" / "generated" / f"{module}.{name}.html"
            text = parse(page.read_text()).main_text if page.exists() else ""
            if "Parameters" not in text or "Returns" not in text:
                missing.append(f"stub text on the page of {module}.{name}")
    assert not missing, missing


sys.path.insert(0, str(DOCS / "_ext"))

_BLOCK = re.compile(
    r"^\.\. code-block:: python\n((?:   :.*\n)*)\n((?:(?:   .*)?\n)+)", re.MULTILINE
)


def _pages_with_code() -> list[Path]:
    skip = {"_build", "gallery", "generated"}
    return sorted(
        p
        for p in DOCS.rglob("*.rst")
        if not skip & set(p.relative_to(DOCS).parts) and ".. code-block:: python" in p.read_text()
    )


@pytest.mark.parametrize("page", _pages_with_code(), ids=lambda p: str(p.relative_to(DOCS)))
def test_code_on_the_pages_runs(
    page: Path, shared_data: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    """Every Python block of a page (but those marked ``:class: no-run``), in order."""
    pytest.importorskip("matplotlib").use("agg")
    monkeypatch.setenv("TARNWELL_DATA", str(shared_data))
    namespace: dict[str, object] = {"__name__": "__docs__"}
    for m in _BLOCK.finditer(page.read_text()):
        if "no-run" in m.group(1):
            continue
        code = "\n".join(line[3:] for line in m.group(2).splitlines())
        exec(compile(code, str(page), "exec"), namespace)  # noqa: S102 (the site's own code)


@pytest.mark.parametrize("spellings", [None, {"m s-1": "m s-1", "knots": ("knot", "kt")}])
def test_units_page_table_from_the_package(
    spellings: dict[str, object] | None, tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    """The accepted-spellings table is built from tarnwell.units.SPELLINGS, or a note without it."""
    sphinx_application = pytest.importorskip("sphinx.application")
    from tarnwell import units

    if spellings is None:
        monkeypatch.delattr(units, "SPELLINGS", raising=False)
    else:
        monkeypatch.setattr(units, "SPELLINGS", spellings, raising=False)
    (tmp_path / "conf.py").write_text("extensions = ['units_table']\n")
    (tmp_path / "index.rst").write_text("Units\n=====\n\n.. units-table::\n")
    app = sphinx_application.Sphinx(
        str(tmp_path),
        str(tmp_path),
        str(tmp_path / "out"),
        str(tmp_path / "doctrees"),
        "html",
        status=None,
        warningiserror=True,
    )
    app.build()
    page = (tmp_path / "out" / "index.html").read_text()
    cells = re.findall(r"<td><p>(.*?)</p></td>", page, re.S)
    if spellings is None:
        assert not cells and "no machine-readable table" in page
    else:
        text = [re.sub(r"<[^>]+>", "", c).strip() for c in cells]
        assert text == ["m s-1", "m s-1", "knots", "knot, kt"]
