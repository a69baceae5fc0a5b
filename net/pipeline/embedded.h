// The pipeline's BPF object (pipeline.bpf.c), compiled at build time and linked in.
#pragma once

#include <cstdint>
#include <span>

namespace netp::pipeline {

std::span<const uint8_t> pipelineObject();

}  // namespace netp::pipeline
