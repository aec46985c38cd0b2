// The data path's value conversions: bytes to a value of each kind and back.
#include "net/variant.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {
const int Kinds[] = {vartype::Empty,   vartype::Integer,  vartype::Long,     vartype::Single,
                     vartype::Double,  vartype::Currency, vartype::Date,     vartype::String,
                     vartype::Boolean, vartype::Byte,     vartype::ByteArray};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    // The first two bytes choose the type number: mostly a known kind,
    // sometimes any number at all.
    const int raw = data[0] | (data[1] << 8);
    const int varType = (raw & 0x8000) != 0 ? raw : Kinds[static_cast<std::size_t>(raw) % 11];
    Variant value;
    if (!VariantFromBytes(varType, data + 2, size - 2, value))
        return 0;
    const ByteArray bytes = VariantToBytes(value);
    // Variable-length kinds give back exactly the bytes they were made from.
    if ((varType == vartype::String || varType == vartype::ByteArray) &&
        (bytes.size() != size - 2 || !std::equal(bytes.begin(), bytes.end(), data + 2)))
        std::abort();
    Variant again;
    if (VarType(value) != vartype::Empty &&
        (!VariantFromBytes(VarType(value), bytes.data(), bytes.size(), again) ||
         VariantToBytes(again) != bytes))
        std::abort();
    return 0;
}
