"""The package's rooms and arrows (docs/architecture.md), read from its imports by grimp:
no import circle, and no arrow running back up a room's layers (`LAYERS`, the table the
document draws).

The graph is the static one, imports under TYPE_CHECKING included (a circle there is one a
reader and a type checker must untangle too). The one edit: ``from . import _velora_native``
(or ``_velora_core``) names an extension module, which grimp does not see, so it records an
import of the package itself; those edges are put back on the extension modules.
"""

from __future__ import annotations

import pathlib

import pytest

import velora

grimp = pytest.importorskip("grimp", reason="grimp (requirements-dev.txt) draws the import graph")

EXTENSIONS = ("_velora_native", "_velora_core")

#: Each container's layers, highest first; a set holds siblings that must not import each other.
LAYERS: dict[str, list[set[str]]] = {
    "velora": [{"fs", "parquet"}, {"cli", "api"}, {"recipients"}, {"age"}, {"files", "detached"},
               {"hpke", "loaders", "checks", "types"}, {"xwing", "mldsa"},
               {"keys"}, {"levels", "text"}, {"compare", "errors"}],
    "velora.age": [{"stream"}, {"file_format"}, {"armor", "keys"}, {"hybrid", "scrypt", "x25519"},
                   {"recipients"}, {"payload", "format"}],
    "velora.files": [{"transfer", "inspect"}, {"objects"}, {"detect"}, {"native"}, {"armor", "formats"},
                     {"source", "ranges"}, {"output", "pipeline", "allocator"}],
}


def _graph() -> object:
    graph = grimp.build_graph("velora", include_external_packages=False)
    for name in EXTENSIONS:
        graph.add_module(f"velora.{name}")
    for importer in sorted(graph.find_modules_that_directly_import("velora")):
        details = graph.get_import_details(importer=importer, imported="velora")
        lines = [d["line_contents"] for d in details]
        artefacts = [n for n in EXTENSIONS if any(n in line for line in lines)]
        if artefacts and all(any(n in line for n in EXTENSIONS) for line in lines):
            graph.remove_import(importer=importer, imported="velora")
            for n in artefacts:
                graph.add_import(importer=importer, imported=f"velora.{n}")
    return graph


def test_the_graph_is_the_installed_package() -> None:
    graph = _graph()
    files = {p for p in pathlib.Path(velora.__file__).parent.rglob("*.py")}
    assert len(graph.modules) >= len(files)  # every source module, and the two extensions


def test_no_import_circle() -> None:
    graph = _graph()
    circles = []
    for importer in sorted(graph.modules):
        for imported in sorted(graph.find_modules_directly_imported_by(importer)):
            back = graph.find_shortest_chain(importer=imported, imported=importer, as_packages=False)
            if back is not None:
                circles.append(" -> ".join((importer, *back)))
    assert not circles, "\n".join(circles)


@pytest.mark.parametrize("container", sorted(LAYERS))
def test_arrows_run_down_the_layers(container: str) -> None:
    graph = _graph()
    # The package itself is the front above every layer (its names load the rooms on first
    # use), and a room may use its loader: a route through it is not a room's arrow.
    for imported in sorted(graph.find_modules_directly_imported_by("velora")):
        graph.remove_import(importer="velora", imported=imported)
    layers = [grimp.Layer(*sorted(layer), independent=True) for layer in LAYERS[container]]
    broken = graph.find_illegal_dependencies_for_layers(layers=layers, containers={container})
    assert not broken, "\n".join(f"{d.importer} -> {d.imported}: {d.routes}" for d in broken)
