"""The pictures of the stop fills in the documentation (docs/figures/*.svg) show what
the engine does today: their script, run as a contributor runs it, checks the rule it
draws against real runs and writes pictures that say the same (every label, every fill
price) as the committed ones.  A change of a fill rule fails here until the pictures
are drawn again and the page that shows them is read over."""

import subprocess
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

FIGURES = Path(__file__).resolve().parents[1] / "docs" / "figures"
SVG = "{http://www.w3.org/2000/svg}"


def labels(path):
    """The texts of an SVG drawn with its text kept as text, in drawing order."""
    root = ET.parse(path).getroot()
    return [" ".join("".join(node.itertext()).split()) for node in root.iter(f"{SVG}text")]


def test_the_stop_fill_pictures_say_what_the_engine_does(tmp_path):
    done = subprocess.run(
        [sys.executable, str(FIGURES / "make_figures.py"), str(tmp_path)],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert done.returncode == 0, done.stderr
    for name in ("stop-gap.svg", "stop-ticks.svg"):
        drawn, committed = labels(tmp_path / name), labels(FIGURES / name)
        assert any("sold at" in text for text in committed), committed
        assert drawn == committed, f"{name}: run `python docs/figures/make_figures.py`"
