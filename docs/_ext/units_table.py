"""``.. units-table::``: the accepted unit spellings, from ``tarnwell.units.SPELLINGS``.

The table is built from the package at build time, so it cannot drift from what the package
accepts. Where the package has no such table the directive renders a short note instead.
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from typing import Any

from docutils import nodes
from docutils.parsers.rst import Directive
from sphinx.application import Sphinx


def _text(value: object) -> str:
    if isinstance(value, str):
        return value
    if isinstance(value, Mapping):
        return ", ".join(f"{k}: {_text(v)}" for k, v in value.items())
    if isinstance(value, Iterable):
        return ", ".join(_text(v) for v in value)
    return str(value)


def _table(rows: list[tuple[str, str]], header: tuple[str, str]) -> nodes.table:
    table = nodes.table(classes=["units-table"])
    group = nodes.tgroup(cols=2)
    table += group
    group += [nodes.colspec(colwidth=1), nodes.colspec(colwidth=2)]
    head, body = nodes.thead(), nodes.tbody()
    group += [head, body]
    for target, cells in ((head, [header]), (body, rows)):
        for cell_texts in cells:
            row = nodes.row()
            for text in cell_texts:
                para = nodes.paragraph()
                para += nodes.literal(text=text) if target is body else nodes.Text(text)
                entry = nodes.entry()
                entry += para
                row += entry
            target += row
    return table


class UnitsTable(Directive):
    has_content = False

    def run(self) -> list[nodes.Node]:
        from tarnwell import units

        spellings: Any = getattr(units, "SPELLINGS", None)
        if not isinstance(spellings, Mapping) or not spellings:
            note = nodes.note()
            note += nodes.paragraph(
                text=(
                    "This build of tarnwell has no machine-readable table of unit spellings; "
                    "the spellings it accepts are listed in the docstring of tarnwell.units."
                )
            )
            return [note]
        rows = [(str(k), _text(v)) for k, v in spellings.items()]
        return [_table(rows, ("spelling", "read as"))]


def setup(app: Sphinx) -> dict[str, Any]:
    app.add_directive("units-table", UnitsTable)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
