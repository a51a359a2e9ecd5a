// The maker's tablet models (USB product ids under vendor id 0x7A3C) for
// which the dock is started automatically when one is plugged in. Other
// models of the vendor are still tracked and reported; only this list starts
// the dock.
#pragma once

#include <cstdint>

constexpr uint32_t kSupportedTabletIds[] = {
    0x0084, 0x0090, 0x0093, 0x009A,                                  // pen displays, first generation
    0x00B0, 0x00B1, 0x00B2, 0x00B3, 0x00B4, 0x00B5,                  // professional tablets
    0x00D0, 0x00D1, 0x00D2, 0x00D3, 0x00D4, 0x00D5, 0x00D6, 0x00D7,  // entry tablets
    0x00D8, 0x00DD, 0x00DE, 0x00DF,                                  // entry tablets, wireless
    0x00F4, 0x00F6, 0x00FA,                                          // pen displays, second generation
    0x0100, 0x0101, 0x0102, 0x0103, 0x0104, 0x0105,                  // small tablets
    0x0300, 0x0301, 0x0302, 0x0303, 0x0304,                          // creative tablets
    0x0357, 0x0358,                                                  // professional tablets, second generation
};
static_assert(sizeof(kSupportedTabletIds) / sizeof(kSupportedTabletIds[0]) == 38, "38 supported models");
