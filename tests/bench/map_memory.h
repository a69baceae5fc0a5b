// The kernel memory of every map of a loaded pipeline, as a benchmark's counters: mem_<map>
// and mem_total, in bytes.
#pragma once

#include <benchmark/benchmark.h>

#include <stdexcept>

#include "net/pipeline/bpf_tables.h"

inline void reportMapMemory(benchmark::State& state, const netp::pipeline::BpfTables& tables) {
    auto memory = tables.mapMemory();
    if (!memory)
        throw std::runtime_error(memory.status().what());
    double total = 0;
    for (const auto& m : *memory) {
        state.counters["mem_" + m.name] = static_cast<double>(m.bytes);
        total += static_cast<double>(m.bytes);
    }
    state.counters["mem_total"] = total;
}
