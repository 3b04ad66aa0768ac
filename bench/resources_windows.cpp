// The Windows build reads no process figures: under Wine they would describe Wine's own
// processes rather than the library. The figures come from the native Linux run.
#include "resources.h"

namespace bench {

bool resources_supported() {
    return false;
}

bool measure_idle_cpu(const resource_settings&, std::vector<resource_figure>&, std::string* error) {
    *error = "measured by the native build only";
    return false;
}

bool measure_memory(const resource_settings&, std::vector<resource_figure>&, std::string* error) {
    *error = "measured by the native build only";
    return false;
}

bool measure_idle_wakeups(const resource_settings&, std::vector<resource_figure>&,
                          std::string* error) {
    *error = "measured by the native build only";
    return false;
}

bool measure_slow_consumer(const resource_settings&, std::vector<resource_figure>&,
                           std::string* error) {
    *error = "measured by the native build only";
    return false;
}

int run_resource_role(const std::string&, const std::map<std::string, std::string>&) {
    return -1;
}

}  // namespace bench
