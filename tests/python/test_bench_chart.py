"""bench/chart.py draws the benchmark's CSV: what it writes, and what it refuses."""

import shutil
import subprocess
import xml.etree.ElementTree as ElementTree
from pathlib import Path

from conftest import PYTHON

HERE = Path(__file__).resolve().parent
CHART = HERE.parents[1] / "bench" / "chart.py"
SAMPLE = HERE / "data" / "bench-results.csv"


def chart(*arguments):
    return subprocess.run(
        [PYTHON, str(CHART), *map(str, arguments)], capture_output=True, text=True, timeout=120
    )


def svg_texts(path):
    root = ElementTree.parse(path).getroot()
    tag = "{http://www.w3.org/2000/svg}text"
    return ["".join(element.itertext()) for element in root.iter(tag)]


def test_the_chart_shows_every_row_with_its_figures_beside_the_csv(tmp_path):
    csv = tmp_path / "bench-results.csv"
    shutil.copy(SAMPLE, csv)
    result = chart(csv, "--title", "sample run")
    assert result.returncode == 0, result.stderr
    texts = svg_texts(tmp_path / "bench-results.svg")
    for expected in ["sample run", "tovi-c2s", "tovi-s2c", "raw-2read", "zmq-pair"]:
        assert expected in texts
    # The figures and their ratios to the baseline, from the CSV's medians.
    labels = ["p50 31.2  \u00d71.95", "185k  \u00d70.46", "2.15k  \u00d70.54", "1.25M  \u00d73.12"]
    for expected in labels:
        assert expected in texts
    assert "failed" in texts  # tovi-c2s has no bandwidth figure
    assert "tovi-at-rest" not in texts  # resources are not charted

    # The same CSV gives the same file; --out chooses PNG.
    first = (tmp_path / "bench-results.svg").read_bytes()
    assert chart(csv, "--title", "sample run").returncode == 0
    assert (tmp_path / "bench-results.svg").read_bytes() == first
    assert chart(csv, "--out", tmp_path / "chart.png").returncode == 0
    assert (tmp_path / "chart.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_a_csv_that_is_not_the_benchmarks_is_refused_with_its_reason(tmp_path):
    wrong = tmp_path / "wrong.csv"
    wrong.write_text("a,b,c\n1,2,3\n")
    result = chart(wrong)
    assert result.returncode == 2
    assert "the header is not row,measure" in result.stderr

    broken = tmp_path / "broken.csv"
    broken.write_text(SAMPLE.read_text().replace("31.250", "fast"))
    result = chart(broken)
    assert result.returncode == 2
    assert "broken.csv:2: not a number: 'fast'" in result.stderr

    resources_only = tmp_path / "resources.csv"
    header, *lines = SAMPLE.read_text().splitlines()
    resources_only.write_text("\n".join([header] + [l for l in lines if "resources" in l]) + "\n")
    assert chart(resources_only).returncode == 1
    assert chart(SAMPLE, "--out", tmp_path / "chart.pdf").returncode == 2
    assert not list(tmp_path.glob("*.svg"))
