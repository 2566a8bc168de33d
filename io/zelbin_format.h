// The constants of the Zelbin format shared by the writers and the reader.
#pragma once
#include <cstdint>

namespace zel::zelbin {

inline constexpr uint8_t MAGIC[6] = {'Z', 'E', 'L', 'B', 'I', 'N'};
inline constexpr uint8_t VERSION = 2;

// Plain record header bits.
inline constexpr uint32_t H_SHARED = 1u << 19;       // a reference record takes the contents' place
inline constexpr uint32_t H_MONEY_SIGN = 1u << 22;
inline constexpr uint32_t H_COMPLEMENT = 1u << 23;  // bitset!
inline constexpr uint32_t H_OWNER = 1u << 24;       // object!: an owner record follows the class id
inline constexpr uint32_t H_GLOBAL = 1u << 25;      // word bound to the global context
inline constexpr uint32_t H_NEW_LINE = 1u << 31;
inline constexpr uint32_t TYPE_REFERENCE = 0xFF;

// Compact prefix and special type bytes.
inline constexpr uint8_t PREFIX_NEW_LINE = 0xC0;
inline constexpr uint8_t PREFIX_SHARED = 0xC1;
inline constexpr uint8_t PREFIX_SET = 0xC4;          // boot dialect only
inline constexpr uint8_t BYTE_TRUE = 0xC2;
inline constexpr uint8_t BYTE_FALSE = 0xC3;
inline constexpr uint8_t BYTE_SMALL_INT = 0x80;      // 0x80 + v for 0 <= v <= 63
inline constexpr uint8_t BYTE_REFERENCE = 0xFF;

inline constexpr uint32_t MAX_PATH = 65536;

inline uint32_t zigzag(int32_t v) { return (uint32_t(v) << 1) ^ uint32_t(v >> 31); }
inline int32_t unzigzag(uint32_t u) { return int32_t((u >> 1) ^ (0u - (u & 1))); }

}  // namespace zel::zelbin
