"""A griffe extension for the documentation site: the cross-reference roles of
numpydoc docstrings (:func:`name`, :class:`~a.b.C`, :mod:`title <target>`,
...) become Markdown cross-references, resolved from where the docstring
stands, so that they render as links. A name that does not resolve is left
for the cross-reference plugin, which reports it (an error under --strict)."""

from __future__ import annotations

import re
from typing import Any

import griffe

ROLE = re.compile(r":(?:py:)?(?:func|meth|class|mod|attr|obj|data|exc):`(?P<text>[^`]+)`")
TITLED = re.compile(r"(?P<title>.+?)\s*<(?P<target>[^<>]+)>$")


def _replace(obj: griffe.Object, match: re.Match[str]) -> str:
    text = match["text"].strip()
    titled = TITLED.match(text)
    if titled:
        title, target = titled["title"], titled["target"]
    else:
        target = text.lstrip("~")
        title = target.rsplit(".", 1)[-1] if text.startswith("~") else target
    try:
        path = obj.resolve(target) if "." not in target else target
    except griffe.NameResolutionError:
        path = target
    return f"[`{title}`][{path}]"


class SphinxRoles(griffe.Extension):
    def on_object(self, *, obj: griffe.Object, loader: griffe.GriffeLoader, **kwargs: Any) -> None:
        if obj.docstring is not None and ":`" in obj.docstring.value:
            obj.docstring.value = ROLE.sub(lambda m: _replace(obj, m), obj.docstring.value)
