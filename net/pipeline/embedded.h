// The pipeline's BPF object (pipeline.bpf.c), compiled at build time and linked in.
#pragma once

#include <cstdint>
#include <span>

namespace netp::pipeline {

std::span<const uint8_t> pipelineObject();
// Test builds of it (abi.h: L2PT_TEST_VARIANT), for the tests of restarts and upgrades.
std::span<const uint8_t> pipelineObjectVariant1();
std::span<const uint8_t> pipelineObjectVariant2();

}  // namespace netp::pipeline
