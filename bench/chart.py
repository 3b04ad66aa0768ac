#!/usr/bin/env python3
"""Draws the benchmark's results as one chart beside its table, from bench-results.csv.

    python3 bench/chart.py build/bench/native/bench-results.csv [--out FILE] [--title TEXT]

Three panels, one row of the benchmark per line: the round-trip time of 64-byte messages as a
distribution (a box from p10 to p90, the median p50 as a bar, a line on to p99 and a cross at
p99.9, on a logarithmic scale; the percentiles are the medians of the repetitions), the
message rate and the bandwidth (bars with the repetitions' minimum and maximum). ToviIPC's rows
are drawn in one colour and the others in grey; each figure is labelled with its ratio to the
run's baseline row. The chart is written as SVG (text kept as text) or PNG, by the file's
extension; by default bench-results.svg beside the CSV.

Exit status: 0 written, 1 the CSV holds no figure to draw, 2 bad arguments or an unreadable
CSV.
"""

import argparse
import csv
import os
import sys

plt = None  # matplotlib, loaded by _load_matplotlib only to draw
ticker = None

COLUMNS = ["row", "measure", "figure", "unit", "median", "min", "max", "repetitions",
           "ratio_to_baseline"]
PERCENTILES = ["p10", "p50", "p90", "p99", "p99.9"]  # rtt figures the CSV may hold
THROUGHPUTS = [("rate", "messages/s", "Message rate, 64-byte messages"),
               ("bw", "MB/s", "Bandwidth, 1 MiB messages (1 MB = 10^6 bytes)")]
KEY = ("Round trip: box p10 to p90, thick bar p50 with the repetitions' minimum and maximum, "
       "| p99, \u00d7 p99.9. Bars: median with minimum and maximum. \u00d7N: ratio to the run's "
       "baseline row (for the round trip, of p50; above 1 is slower). ToviIPC in blue.")
TOVI_COLOUR = "#1f77b4"
OTHER_COLOUR = "#8c8c8c"
INCH_PER_ROW = 0.42
MIN_HEIGHT_INCH = 3.0


class CsvError(Exception):
    pass


def _number(text, where):
    try:
        return float(text)
    except ValueError:
        raise CsvError("%s: not a number: %r" % (where, text)) from None


def read_results(path):
    """{(row, measure): {figure: (median, min, max, ratio or None)}}, the rows in CSV order,
    and the (row, measure) pairs that failed."""
    try:
        with open(path, newline="", encoding="utf-8") as handle:
            lines = list(csv.reader(handle))
    except OSError as error:
        raise CsvError(str(error)) from None
    if not lines or lines[0] != COLUMNS:
        raise CsvError("%s: the header is not %s" % (path, ",".join(COLUMNS)))
    figures, rows, failed = {}, [], set()
    for number, fields in enumerate(lines[1:], start=2):
        where = "%s:%d" % (path, number)
        if len(fields) != len(COLUMNS):
            raise CsvError("%s: %d fields, not %d" % (where, len(fields), len(COLUMNS)))
        row, measure, figure = fields[0], fields[1], fields[2]
        if measure == "resources" or figure.startswith("peak_rss_"):
            continue
        if row not in rows:
            rows.append(row)
        if figure == "failed":
            failed.add((row, measure))
            continue
        median = _number(fields[4], where)
        low = _number(fields[5], where) if fields[5] else median
        high = _number(fields[6], where) if fields[6] else median
        ratio = _number(fields[8], where) if fields[8] else None
        figures.setdefault((row, measure), {})[figure] = (median, low, high, ratio)
    return figures, rows, failed


def _colour(row):
    return TOVI_COLOUR if row.startswith("tovi") else OTHER_COLOUR


def _ratio_text(ratio):
    return "" if ratio is None else "  \u00d7%.2f" % ratio


def draw_rtt(axes, figures, rows, failed):
    axes.set_title("Round trip, 64-byte messages (\u00b5s, log scale)", loc="left", fontsize=10)
    axes.set_xscale("log")
    for y, row in enumerate(rows):
        found = figures.get((row, "rtt"), {})
        if (row, "rtt") in failed or "p50" not in found:
            axes.text(0.01, y, "failed" if (row, "rtt") in failed else "\u2013",
                      transform=axes.get_yaxis_transform(), va="center", fontsize=8)
            continue
        colour = _colour(row)
        p = {name: found[name][0] for name in PERCENTILES if name in found}
        if "p10" in p and "p90" in p:
            axes.barh(y, p["p90"] - p["p10"], left=p["p10"], height=0.5, color=colour,
                      alpha=0.35, edgecolor=colour)
        axes.plot([p["p50"], p["p50"]], [y - 0.3, y + 0.3], color=colour, linewidth=2.5)
        low, high = found["p50"][1], found["p50"][2]
        axes.errorbar(p["p50"], y, xerr=[[p["p50"] - low], [high - p["p50"]]], fmt="none",
                      ecolor="black", elinewidth=0.8, capsize=2)
        if "p99" in p:
            start = p.get("p90", p["p50"])
            axes.plot([start, p["p99"]], [y, y], color=colour, linewidth=1)
            axes.plot([p["p99"]], [y], marker="|", markersize=9, color=colour)
        end = p.get("p99.9", p.get("p99", p["p50"]))
        if "p99.9" in p:
            axes.plot([p.get("p99", p["p50"]), p["p99.9"]], [y, y], color=colour,
                      linewidth=0.8, linestyle=":")
            axes.plot([p["p99.9"]], [y], marker="x", markersize=5, color=colour)
        label = "p50 %s%s" % (_short(p["p50"]), _ratio_text(found["p50"][3]))
        axes.annotate(label, (end, y), xytext=(6, 0), textcoords="offset points",
                      va="center", fontsize=8)
    axes.xaxis.set_major_locator(ticker.LogLocator(subs=(1.0, 2.0, 5.0)))
    axes.xaxis.set_major_formatter(ticker.FuncFormatter(lambda value, _: _short(value)))
    axes.xaxis.set_minor_formatter(ticker.NullFormatter())
    axes.grid(axis="x", which="both", linewidth=0.3, alpha=0.5)
    axes.margins(x=0.35)


def draw_throughput(axes, figures, rows, failed, measure, unit, title):
    axes.set_title("%s (%s)" % (title, unit), loc="left", fontsize=10)
    for y, row in enumerate(rows):
        found = figures.get((row, measure), {}).get("throughput")
        if found is None:
            axes.text(0.01, y, "failed" if (row, measure) in failed else "\u2013",
                      transform=axes.get_yaxis_transform(), va="center", fontsize=8)
            continue
        median, low, high, ratio = found
        axes.barh(y, median, height=0.6, color=_colour(row),
                  xerr=[[median - low], [high - median]], error_kw={"elinewidth": 0.8,
                                                                     "capsize": 2})
        axes.annotate(_short(median) + _ratio_text(ratio), (high, y), xytext=(4, 0),
                      textcoords="offset points", va="center", fontsize=8)
    axes.xaxis.set_major_formatter(ticker.FuncFormatter(lambda value, _: _short(value)))
    axes.grid(axis="x", linewidth=0.3, alpha=0.5)
    axes.margins(x=0.3)


def _short(value):
    """Three significant digits, with k and M for large values."""
    for scale, suffix in ((1e6, "M"), (1e3, "k")):
        if abs(value) >= scale:
            return "%.3g%s" % (value / scale, suffix)
    return "%.3g" % value


def draw(figures, rows, failed, out, title):
    measures = [m for m, _, _ in THROUGHPUTS if any((r, m) in figures for r in rows)]
    panels = (["rtt"] if any((r, "rtt") in figures for r in rows) else []) + measures
    if not panels:
        return False
    # SVG text stays text, and the file carries no date, so the same CSV gives the same file.
    plt.rcParams.update({"svg.fonttype": "none", "svg.hashsalt": "toviipc-bench"})
    height = max(MIN_HEIGHT_INCH, INCH_PER_ROW * len(rows) + 1.5)
    figure, axes = plt.subplots(1, len(panels), figsize=(5.2 * len(panels), height),
                                sharey=True, squeeze=False)
    for panel, ax in zip(panels, axes[0]):
        if panel == "rtt":
            draw_rtt(ax, figures, rows, failed)
        else:
            unit, caption = [(u, c) for m, u, c in THROUGHPUTS if m == panel][0]
            draw_throughput(ax, figures, rows, failed, panel, unit, caption)
    first = axes[0][0]
    first.set_yticks(range(len(rows)))
    first.set_yticklabels(rows)
    first.invert_yaxis()
    for label in first.get_yticklabels():
        label.set_color(_colour(label.get_text()))
    figure.suptitle(title, x=0.01, ha="left", fontsize=11)
    figure.text(0.01, 0.01, KEY, fontsize=8, color="#444444")
    figure.tight_layout(rect=(0, 0.05, 1, 1))
    metadata = {"Date": None} if out.endswith(".svg") else {}
    figure.savefig(out, metadata=metadata)
    plt.close(figure)
    return True


def _load_matplotlib():
    """Loads matplotlib (a second or more): a CSV that is refused is answered without it."""
    global plt, ticker
    import matplotlib

    matplotlib.use("Agg")  # no display: files only
    import matplotlib.pyplot as pyplot
    from matplotlib import ticker as tick

    plt, ticker = pyplot, tick


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("csv", help="bench-results.csv as the benchmark wrote it")
    parser.add_argument("--out", help="the chart, .svg or .png (default: beside the CSV)")
    parser.add_argument("--title", default="ToviIPC benchmark", help="the chart's title")
    args = parser.parse_args(argv)
    out = args.out or os.path.join(os.path.dirname(os.path.abspath(args.csv)),
                                   "bench-results.svg")
    if os.path.splitext(out)[1] not in (".svg", ".png"):
        parser.error("--out must end in .svg or .png")
    try:
        figures, rows, failed = read_results(args.csv)
    except CsvError as error:
        sys.stderr.write("chart.py: %s\n" % error)
        return 2
    _load_matplotlib()
    if not draw(figures, rows, failed, out, args.title):
        sys.stderr.write("chart.py: %s holds no rtt, rate or bw figure\n" % args.csv)
        return 1
    print(out)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
