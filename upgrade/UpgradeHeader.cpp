#include "UpgradeHeader.h"

namespace {
void putLittleEndian(std::uint8_t* at, std::uint32_t word) {
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<std::uint8_t>(word >> (8 * i));
}
} // namespace

std::array<std::uint8_t, UpgradeHeaderSize> UpgradeHeader(std::int32_t length,
                                                          std::uint32_t checksum) {
    std::array<std::uint8_t, UpgradeHeaderSize> header{};
    putLittleEndian(header.data() + 4, static_cast<std::uint32_t>(length));
    putLittleEndian(header.data() + 8, checksum);
    return header;
}
