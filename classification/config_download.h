// Download of the whole classification configuration to one agent that has just registered.
#pragma once

#include <cstdint>

int32_t l2ptDownloadConfig(int32_t slot);
