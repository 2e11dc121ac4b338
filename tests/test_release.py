"""What a release carries: one version everywhere, a short repr, and an API
reference that renders what its docstrings point to."""

import importlib.metadata
import re
import subprocess
import sys
import tomllib
from pathlib import Path

import numpy as np
import pytest
from test_tables import SCHEMA, shop_arrays

import tovalib_data as td

ROOT = Path(__file__).resolve().parents[1]
# scikit-build-core's regex provider's default pattern for a version.
VERSION_PATTERN = r'(?i)^(__version__|VERSION)(?: ?\: ?str)? *= *([\'"])v?(?P<value>.+?)\2'


def test_one_version_for_the_package_the_distribution_and_the_changelog():
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())
    assert "version" not in project["project"] and "version" in project["project"]["dynamic"]
    source = project["tool"]["scikit-build"]["metadata"]["version"]
    assert source["provider"] == "scikit_build_core.metadata.regex"
    found = re.search(VERSION_PATTERN, (ROOT / source["input"]).read_text(), re.M)
    assert found["value"] == td.__version__
    releases = re.findall(r"^## \[?(\d+\.\d+\.\d+)", (ROOT / "CHANGELOG.md").read_text(), re.M)
    assert releases[0] == td.__version__ and "0.1.0" in releases
    installed = importlib.metadata.distribution("tovalib")
    if Path(installed.locate_file("tovalib_data")) == Path(td.__file__).parent:
        assert installed.version == td.__version__  # built from this checkout


def test_repr_is_a_summary_without_the_arrays(tmp_path):
    graph = td.Graph.from_tables(shop_arrays(), **SCHEMA)
    graph.save(tmp_path / "g")
    expected = ("Graph(nodes={'customers': 3, 'products': 3, 'orders': 6, 'items': 6}, "
                "edges=30 in 6 edge types, time_unit='s')")
    assert repr(graph) == repr(td.Graph.load(tmp_path / "g")) == expected
    untimed = td.Graph.from_tables({"only": {"id": np.arange(2)}})
    assert repr(untimed) == "Graph(nodes={'only': 2}, edges=0 in 0 edge types, time_unit=None)"


def test_the_api_reference_renders_every_module_the_docstrings_point_to(tmp_path):
    pytest.importorskip("pdoc")
    subprocess.run([sys.executable, str(ROOT / "docs" / "build_api.py"), "--out", str(tmp_path)],
                   check=True, capture_output=True)
    pages = {p.relative_to(tmp_path).as_posix(): p.read_text() for p in tmp_path.rglob("*.html")}
    unlinked = {name: sorted(set(re.findall(r"<code>(tovalib_data\.[\w.]+)</code>", text)))
                for name, text in pages.items()}
    assert {name: found for name, found in unlinked.items() if found} == {}
    assert '<a href="tovalib_data/loading/seed_time.html">tovalib_data.loading.seed_time</a>' in \
        pages["tovalib_data.html"]
