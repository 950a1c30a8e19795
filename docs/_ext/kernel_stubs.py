"""Docstrings and signatures of the extension modules, read from their typing stubs.

The compiled functions carry only pybind11's generated signature; the stubs (``src/*.pyi``)
document every argument. autodoc and autosummary import the real modules (the gallery needs
them), and this extension swaps in the stub's text for every object a stub describes.
"""

from __future__ import annotations

import ast
import inspect
from pathlib import Path
from typing import Any

from sphinx.application import Sphinx

STUB_DIR = Path(__file__).resolve().parents[2] / "src"

# "module" or "module.function" -> (docstring, signature, return annotation)
_STUBS: dict[str, tuple[str, str | None, str | None]] = {}


def _read(path: Path) -> None:
    tree = ast.parse(path.read_text(), filename=str(path))
    module = path.stem
    _STUBS[module] = (ast.get_docstring(tree) or "", None, None)
    for node in tree.body:
        if isinstance(node, ast.FunctionDef) and not node.name.startswith("_"):
            args = ast.unparse(node.args)
            ret = ast.unparse(node.returns) if node.returns is not None else None
            _STUBS[f"{module}.{node.name}"] = (ast.get_docstring(node) or "", f"({args})", ret)


def stubbed_modules() -> list[str]:
    """The extension modules that have a stub, by name."""
    return sorted(p.stem for p in STUB_DIR.glob("*.pyi"))


def _docstring(app: Sphinx, what: str, name: str, obj: Any, options: Any, lines: list[str]) -> None:
    if name in _STUBS:
        lines[:] = [*inspect.cleandoc(_STUBS[name][0]).splitlines(), ""]


def _signature(
    app: Sphinx,
    what: str,
    name: str,
    obj: Any,
    options: Any,
    signature: str | None,
    return_annotation: str | None,
) -> tuple[str | None, str | None] | None:
    entry = _STUBS.get(name)
    if entry is None or entry[1] is None:
        return None
    return entry[1], entry[2]


def setup(app: Sphinx) -> dict[str, Any]:
    for path in sorted(STUB_DIR.glob("*.pyi")):
        _read(path)
    # Before numpydoc, which parses the lines handed on.
    app.connect("autodoc-process-docstring", _docstring, priority=100)
    app.connect("autodoc-process-signature", _signature, priority=100)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
