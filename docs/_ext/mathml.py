"""Math rendered to MathML at build time (docutils' LaTeX converter), so that equations show
without JavaScript or a network connection; browsers render MathML natively."""

from __future__ import annotations

import re
from typing import Any

from docutils import nodes
from docutils.utils.math.latex2mathml import tex2mathml
from sphinx.application import Sphinx

# A one-letter identifier: a variable, set in italics (longer ones, like exp, stay upright).
_VARIABLE = re.compile(r"<mi>(\w)</mi>")


def _mathml(latex: str, block: bool) -> str:
    return _VARIABLE.sub(r'<mi class="variable">\1</mi>', _convert(latex, block))


def _convert(latex: str, block: bool) -> str:
    latex = latex.strip()
    if block and "\\\\" in latex and "\\begin" not in latex:
        # Several equations: one display each (browsers' MathML tables align them poorly).
        lines = [line.replace("&", "") for line in latex.split("\\\\")]
        return "".join(
            str(tex2mathml(line.strip(), as_block=True)) for line in lines if line.strip()
        )
    return str(tex2mathml(latex, as_block=block))


def _inline(self: Any, node: nodes.math) -> None:
    self.body.append(_mathml(node.astext(), block=False))
    raise nodes.SkipNode


def _block(self: Any, node: nodes.math_block) -> None:
    self.body.append(self.starttag(node, "div", CLASS="math"))
    if node.get("number"):
        self.body.append(f'<span class="eqno">({node["number"]})</span>')
    self.body.append(_mathml(node.astext(), block=True) + "</div>\n")
    raise nodes.SkipNode


def setup(app: Sphinx) -> dict[str, Any]:
    app.add_html_math_renderer("mathml", (_inline, None), (_block, None))
    return {"parallel_read_safe": True, "parallel_write_safe": True}
