#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

// The values a socket sends and receives, by kind. Each kind has a type
// number and a fixed byte layout (little-endian); strings are 8-bit text,
// one byte per character.

struct Currency {
    std::int64_t scaled = 0; // the amount times 10,000
    bool operator==(const Currency&) const = default;
};

struct Date {
    double days = 0; // days since 30 December 1899
    bool operator==(const Date&) const = default;
};

using ByteArray = std::vector<std::uint8_t>;

using Variant = std::variant<std::monostate, std::int16_t, std::int32_t, float, double, Currency,
                             Date, std::string, bool, std::uint8_t, ByteArray>;

namespace vartype {
inline constexpr int Empty = 0;
inline constexpr int Integer = 2;
inline constexpr int Long = 3;
inline constexpr int Single = 4;
inline constexpr int Double = 5;
inline constexpr int Currency = 6;
inline constexpr int Date = 7;
inline constexpr int String = 8;
inline constexpr int Boolean = 11;
inline constexpr int Byte = 17;
inline constexpr int ByteArray = 8192 + 17;
} // namespace vartype

// The type number of a value (0 for an empty one).
int VarType(const Variant& value);

// The bytes that stand for a value; an empty value gives none.
ByteArray VariantToBytes(const Variant& value);

// A value of the kind `varType` made from `bytes`. Fixed-size kinds take
// their first bytes; missing bytes count as zero. False (and `value`
// untouched) for a type number that is not a known kind.
bool VariantFromBytes(int varType, const std::uint8_t* bytes, std::size_t count, Variant& value);
