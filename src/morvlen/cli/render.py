"""`morvlen render FILE`: a tree document printed as text, Graphviz DOT or SVG."""

from __future__ import annotations

from morvlen.core import observe

RENDERERS = {"text": observe.render_text, "dot": observe.render_dot, "svg": observe.render_svg}


def run_render(path: str, tree_id: str | None, form: str) -> None:
    """Prints the document's main tree (or `tree_id`); node types the document does
    not register are drawn from its attributes, so no actions module is needed."""
    text = RENDERERS[form](observe.tree_from_file(path, tree_id))
    print(text, end="" if text.endswith("\n") else "\n")
