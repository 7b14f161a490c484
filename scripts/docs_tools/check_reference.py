"""Checks that the API reference of the built site has an entry for every
public name of the package: the names each public module exports in
__all__ (and PanicException), and every public attribute, property and
method of the classes among them. The names are read from the sources and
stubs by griffe, as the reference itself is; the entries from the site's
objects.inv. Exits non-zero, listing what is missing.

    python check_reference.py SOURCE_DIR SITE_DIR
"""

from __future__ import annotations

import sys
from pathlib import Path

import griffe
from mkdocstrings import Inventory

# Each public module, and the module whose __all__ lists its exports: the
# package's own is list(_core.__all__), which only the stub spells out.
PUBLIC_MODULES = {
    "zelmo_information": "zelmo_information._core",
    "zelmo_information.network": "zelmo_information.network",
    "zelmo_information.simulate": "zelmo_information.simulate",
}
# Names the package provides outside __all__.
EXTRA = ("zelmo_information.PanicException",)


def public_names(package: griffe.Module) -> list[str]:
    names: list[str] = list(EXTRA)
    for path, exporter in PUBLIC_MODULES.items():
        module = package if path == package.path else package[path.split(".", 1)[1]]
        exports = package[exporter.split(".", 1)[1]].exports
        if not exports:
            raise SystemExit(f"{exporter} declares no __all__ that griffe can read")
        for name in exports:
            member = module[name]
            names.append(f"{path}.{name}")
            target = member.final_target if member.is_alias else member
            if target.is_class:
                names += [f"{path}.{name}.{attribute}" for attribute in target.members
                          if not attribute.startswith("_")]
    return names


def main(source: str, site: str) -> int:
    package = griffe.load("zelmo_information", search_paths=[source], resolve_aliases=True,
                          resolve_external=False)
    expected = public_names(package)
    with open(Path(site) / "objects.inv", "rb") as file:
        documented = set(Inventory.parse_sphinx(file))
    missing = [name for name in expected if name not in documented]
    for name in missing:
        print(f"   no entry in the API reference: {name}")
    print(f"   {len(expected) - len(missing)} of {len(expected)} public names have an entry in the API reference")
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
