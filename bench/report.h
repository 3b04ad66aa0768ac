// The results of one run of the conductor, and how they are written: a Markdown table for
// people and a CSV file for programs, both from the same figures.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "bench.h"
#include "resources.h"

namespace bench {

// Median, minimum and maximum of the repetitions of one figure.
struct spread {
    double median = 0;
    double min = 0;
    double max = 0;
    int count = 0;
};
spread spread_of(std::vector<double> values);

// The further percentiles of an rtt repetition, after p50 and p99, as the CSV names them.
constexpr const char* rtt_more_percentiles[] = {"p10", "p90", "p99.9"};
constexpr size_t rtt_more_count = sizeof(rtt_more_percentiles) / sizeof(rtt_more_percentiles[0]);

// The repetitions of one measure of one row: for rtt p50 in first, p99 in second and the
// percentiles of rtt_more_percentiles in more (µs), otherwise the throughput in first
// (messages/s or MB/s).
struct measure_results {
    std::vector<double> first;
    std::vector<double> second;
    std::vector<double> more[rtt_more_count];
    std::string error;  // why a repetition failed; the measure then has no figure
    // The highest peak resident memory of each side over the repetitions, in kB.
    long long initiator_peak_kb = 0;
    long long responder_peak_kb = 0;
};

struct row_results {
    row_def row;
    std::map<measure, measure_results> measures;
};

// Everything a report says.
struct run_report {
    std::string title;
    std::vector<std::string> facts;  // "name: value" lines about the run
    std::string baseline;            // the row every ratio refers to
    std::vector<measure> measures;
    std::vector<row_results> rows;
    std::vector<resource_figure> resources;
    std::vector<std::string> resource_errors;
    std::vector<std::string> notes;
};

std::string markdown_of(const run_report& report);
std::string csv_of(const run_report& report);

}  // namespace bench
