#include "report.h"

#include <algorithm>
#include <cstdio>

namespace bench {

namespace {

std::string number(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof(text), "%.*f", decimals, value);
    return text;
}

// Decimals that keep about three significant digits without drowning large figures.
int decimals_for(double value) {
    return value >= 100 ? 0 : value >= 10 ? 1 : 2;
}

std::string cell(const spread& s) {
    return number(s.median, decimals_for(s.median)) + " [" + number(s.min, decimals_for(s.min)) +
           "–" + number(s.max, decimals_for(s.max)) + "]";
}

const measure_results* find(const row_results& row, measure m) {
    auto it = row.measures.find(m);
    return it == row.measures.end() ? nullptr : &it->second;
}

bool has_figures(const measure_results* r) {
    return r != nullptr && r->error.empty() && !r->first.empty();
}

const row_results* baseline_of(const run_report& report) {
    for (const row_results& row : report.rows) {
        if (row.row.name == report.baseline)
            return &row;
    }
    return nullptr;
}

// The ratio of a row's median to the baseline's (p50 for rtt), or a negative number when
// either is missing.
double ratio(const run_report& report, const row_results& row, measure m) {
    const row_results* base = baseline_of(report);
    const measure_results* mine = find(row, m);
    const measure_results* theirs = base == nullptr ? nullptr : find(*base, m);
    if (!has_figures(mine) || !has_figures(theirs))
        return -1;
    return spread_of(mine->first).median / spread_of(theirs->first).median;
}

std::string ratio_cell(double r) {
    return r < 0 ? "–" : number(r, 2);
}

// The table of rows and measures.
std::string rows_table(const run_report& report) {
    std::string out;
    std::string header = "| row |";
    std::string rule = "|---|";
    const std::string vs = " ×" + report.baseline + " |";
    for (measure m : report.measures) {
        if (m == measure::rtt)
            header += " rtt p50 µs | rtt p99 µs | rtt p50" + vs;
        else if (m == measure::rate)
            header += " rate msg/s | rate" + vs;
        else
            header += " bw MB/s | bw" + vs;
        rule += m == measure::rtt ? "---:|---:|---:|" : "---:|---:|";
    }
    out += header + "\n" + rule + "\n";
    for (const row_results& row : report.rows) {
        std::string line = "| " + row.row.name + " |";
        for (measure m : report.measures) {
            const measure_results* r = find(row, m);
            const int cells = m == measure::rtt ? 2 : 1;
            if (!has_figures(r)) {
                const std::string why = r != nullptr && !r->error.empty() ? "failed" : "–";
                for (int i = 0; i < cells; ++i)
                    line += " " + why + " |";
            } else {
                line += " " + cell(spread_of(r->first)) + " |";
                if (m == measure::rtt)
                    line += " " + cell(spread_of(r->second)) + " |";
            }
            line += " " + ratio_cell(ratio(report, row, m)) + " |";
        }
        out += line + "\n";
    }
    return out + "\nCells: median [min–max] of the repetitions.\n";
}

// What each row is, and why a measure of it failed.
std::string row_descriptions(const run_report& report) {
    std::string out = "\nRows:\n";
    for (const row_results& row : report.rows) {
        out += "- " + row.row.name + ": " + row.row.description + "\n";
        for (const auto& m : row.measures) {
            if (!m.second.error.empty())
                out += "  - " + std::string(measure_name(m.first)) + " failed: " + m.second.error +
                       "\n";
        }
    }
    return out;
}

// Peak resident memory of each side, which shows a sender that queues what the receiver has
// not yet taken.
std::string memory_table(const run_report& report) {
    std::string out =
        "\nPeak resident memory of each process, MB (initiator / responder, highest "
        "over the repetitions):\n\n| row |";
    std::string rule = "|---|";
    for (measure m : report.measures) {
        out += std::string(" ") + measure_name(m) + " |";
        rule += "---:|";
    }
    out += "\n" + rule + "\n";
    for (const row_results& row : report.rows) {
        out += "| " + row.row.name + " |";
        for (measure m : report.measures) {
            const measure_results* r = find(row, m);
            out += has_figures(r) ? " " + number(r->initiator_peak_kb / 1024.0, 1) + " / " +
                                        number(r->responder_peak_kb / 1024.0, 1) + " |"
                                  : " – |";
        }
        out += "\n";
    }
    return out;
}

}  // namespace

spread spread_of(std::vector<double> values) {
    spread s;
    s.count = static_cast<int>(values.size());
    if (values.empty())
        return s;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    s.median = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    s.min = values.front();
    s.max = values.back();
    return s;
}

std::string markdown_of(const run_report& report) {
    std::string out = "# " + report.title + "\n\n";
    for (const std::string& fact : report.facts)
        out += "- " + fact + "\n";
    out += "\n";

    if (!report.rows.empty())
        out += rows_table(report) + memory_table(report) + row_descriptions(report);
    if (!report.resources.empty() || !report.resource_errors.empty()) {
        out += "\n## ToviIPC at rest: CPU and memory\n\n| figure | value |\n|---|---:|\n";
        for (const resource_figure& f : report.resources) {
            out += "| " + f.label + " | " + number(f.value, decimals_for(f.value)) +
                   (f.unit.empty() ? "" : " " + f.unit) + " |\n";
        }
        for (const std::string& e : report.resource_errors)
            out += "\n" + e + "\n";
    }
    if (!report.notes.empty()) {
        out += "\nNotes:\n";
        for (const std::string& n : report.notes)
            out += "- " + n + "\n";
    }
    return out;
}

std::string csv_of(const run_report& report) {
    std::string out = "row,measure,figure,unit,median,min,max,repetitions,ratio_to_baseline\n";
    auto add_peak = [&](const std::string& prefix, const char* side, long long kb) {
        out += prefix + "peak_rss_" + side + ",kB," + std::to_string(kb) + ",,,,\n";
    };
    for (const row_results& row : report.rows) {
        for (const auto& entry : row.measures) {
            const measure m = entry.first;
            const measure_results& r = entry.second;
            const std::string prefix = row.row.name + "," + measure_name(m) + ",";
            if (!has_figures(&r)) {
                out += prefix + "failed,,,,,0,\n";
                continue;
            }
            const double q = ratio(report, row, m);
            const std::string ratio_text = q < 0 ? "" : number(q, 4);
            auto add = [&](const std::string& figure, const std::string& unit,
                           const std::vector<double>& values, const std::string& ratio_field) {
                const spread s = spread_of(values);
                out += prefix + figure + "," + unit + "," + number(s.median, 3) + "," +
                       number(s.min, 3) + "," + number(s.max, 3) + "," + std::to_string(s.count) +
                       "," + ratio_field + "\n";
            };
            if (m == measure::rtt) {
                add("p50", "us", r.first, ratio_text);
                add("p99", "us", r.second, "");
                for (size_t i = 0; i < rtt_more_count; ++i) {
                    if (!r.more[i].empty())
                        add(rtt_more_percentiles[i], "us", r.more[i], "");
                }
            } else if (m == measure::rate) {
                add("throughput", "messages/s", r.first, ratio_text);
            } else {
                add("throughput", "MB/s", r.first, ratio_text);
            }
            add_peak(prefix, "initiator", r.initiator_peak_kb);
            add_peak(prefix, "responder", r.responder_peak_kb);
        }
    }
    for (const resource_figure& f : report.resources) {
        out +=
            "tovi-at-rest,resources," + f.key + "," + f.unit + "," + number(f.value, 3) + ",,,1,\n";
    }
    return out;
}

}  // namespace bench
