"""Sphinx configuration of the tarnwell site (``bash scripts/run.sh docs``)."""

from __future__ import annotations

import importlib
import os
import sys
import warnings
from pathlib import Path

here = Path(__file__).resolve().parent
sys.path.insert(0, str(here / "_ext"))
# The package sources, unless an installed or freshly built tarnwell is importable already.
try:
    import tarnwell
except ImportError:
    sys.path.insert(0, str(here.parent / "src"))
    import tarnwell

import kernel_stubs  # noqa: E402  (from _ext, put on the path above)

# The package imports its modules on first use, and autodoc imports an extension module it finds
# not yet loaded from the typing stub beside it (whose functions return None): the gallery would
# then run on the stubs. The real modules are loaded here first.
for _name in (
    *kernel_stubs.stubbed_modules(),
    *(f"tarnwell.{m}" for m in tarnwell.MODULES.values()),
):
    importlib.import_module(_name)

# MetPy warns at import where pyproj has no PROJ data; import it once here, quietly, so the
# warning does not land in the gallery's captured output.
with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    try:
        import metpy.calc  # noqa: F401
    except ImportError:
        pass

project = "tarnwell"
author = "the tarnwell developers"
copyright = "2026, the tarnwell developers"
release = version = tarnwell.__version__

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "numpydoc",
    "sphinx_gallery.gen_gallery",
    "kernel_stubs",
    "units_table",
    "mathml",
]
# Equations as MathML, written at build time: no script and no network needed to read them.
html_math_renderer = "mathml"

# The documented modules, in one place. The package's functions come from tarnwell.__all__; the
# extension modules are every src/*.pyi stub (a new kernel module appears with its stub).
PACKAGE_MODULES = ["tarnwell", "tarnwell.datasets"]
KERNEL_MODULES = kernel_stubs.stubbed_modules()


def _api_page(path: Path, title: str, intro: str, modules: list[str]) -> None:
    """Writes an autosummary page over `modules` (only when its text changes)."""
    lines = (
        [title, "=" * len(title), "", intro, "", ".. autosummary::", "   :toctree: generated", ""]
        + [f"   {m}" for m in modules]
        + [""]
    )
    text = "\n".join(lines)
    if not path.exists() or path.read_text() != text:
        path.write_text(text)


_api_page(
    here / "api" / "package.rst",
    "The package",
    "Functions on xarray objects, with units and dask, and the sample-file fetcher.",
    PACKAGE_MODULES,
)
_api_page(
    here / "api" / "kernels.rst",
    "The extension modules",
    "The bare kernels on NumPy arrays, documented from their typing stubs.",
    KERNEL_MODULES,
)

autosummary_generate = True
autosummary_imported_members = True
autosummary_ignore_module_all = False
autodoc_default_options = {"members": False}
autodoc_typehints = "signature"
templates_path = ["_templates"]

numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
numpydoc_xref_param_type = False
numpydoc_validation_checks: set[str] = set()

# `name` in docstrings: a link where the object is documented here, emphasis otherwise.
default_role = "autolink"

# Cross-references to our own objects must resolve; others (NumPy, xarray, typing) are not
# linked, since the site builds offline without their inventories.
nitpicky = True
_OURS = r"(tarnwell|" + "|".join(KERNEL_MODULES) + r")(\..*)?"
nitpick_ignore_regex = [(r"py:.*", rf"(?!{_OURS}$).*")]

sphinx_gallery_conf = {
    "examples_dirs": ["../examples"],
    "gallery_dirs": ["gallery"],
    "filename_pattern": r"/plot_",
    "doc_module": ("tarnwell", *KERNEL_MODULES),
    "backreferences_dir": "gallery/backreferences",
    "reference_url": {"tarnwell": None},
    "download_all_examples": False,
    "remove_config_comments": True,
    "within_subsection_order": "FileNameSortKey",
    "abort_on_example_error": False,
    "only_warn_on_example_error": False,
    "plot_gallery": os.environ.get("TARNWELL_DOCS_GALLERY", "True"),
    "matplotlib_animations": False,
    "show_memory": False,
    "min_reported_time": 1,
    # The timing pages load scripts from the network; the site must read offline.
    "write_computation_times": False,
}

html_theme = "pydata_sphinx_theme"
html_title = "tarnwell"
html_static_path = ["_static"]
html_css_files = ["tarnwell.css"]
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
    "header_links_before_dropdown": 7,
    "navbar_align": "left",
    "navbar_end": ["navbar-icon-links"],
    "footer_start": ["copyright"],
    "footer_end": [],
    "secondary_sidebar_items": ["page-toc"],
}
html_show_sourcelink = False
html_copy_source = False

exclude_patterns = ["_build", "gallery/*.ipynb", "gallery/*.py", "gallery/*.zip", "**.md5"]
