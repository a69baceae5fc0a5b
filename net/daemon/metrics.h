// l2ptctl metrics: the Prometheus text format (version 0.0.4), for node_exporter's textfile
// collector. Families are written whole, each with its HELP and TYPE, then its samples.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace netp {

class Daemon;

class PromText {
  public:
    using Labels = std::vector<std::pair<std::string_view, std::string>>;
    enum class Type { Counter, Gauge };

    void family(std::string_view name, Type type, std::string_view help);
    // A sample of the family last begun.
    void sample(const Labels& labels, uint64_t value);
    const std::string& text() const { return text_; }

  private:
    std::string text_;
    std::string name_;
};

// The daemon's ports, drops and agents, the task's sessions and, given the task's shell
// variables (its `vars` answer), its read-only counters. std::runtime_error when the pipeline's
// maps cannot be read.
std::string renderMetrics(Daemon& d, std::optional<std::string_view> taskVars);

}  // namespace netp
