#pragma once

#include "EncoderProtocol.h"

#include <array>
#include <cstdint>

// The 12 bytes sent ahead of the image: reserved (0), image length and image checksum,
// each a 32-bit little-endian word.
std::array<std::uint8_t, UpgradeHeaderSize> UpgradeHeader(std::int32_t length,
                                                          std::uint32_t checksum);
