#include "net/variant.h"

#include <cstring>
#include <type_traits>

namespace {

template <typename T> void appendRaw(ByteArray& out, const T& value) {
    static_assert(std::is_trivially_copyable_v<T>);
    const auto* p = reinterpret_cast<const std::uint8_t*>(&value);
    out.insert(out.end(), p, p + sizeof(T));
}

// Reads a fixed-size value from at most `count` bytes; the rest are zero.
template <typename T> T readRaw(const std::uint8_t* bytes, std::size_t count) {
    std::uint8_t buffer[sizeof(T)] = {};
    if (count > 0)
        std::memcpy(buffer, bytes, count < sizeof(T) ? count : sizeof(T));
    T value;
    std::memcpy(&value, buffer, sizeof(T));
    return value;
}

} // namespace

int VarType(const Variant& value) {
    static constexpr int types[] = {vartype::Empty,  vartype::Integer,  vartype::Long,
                                    vartype::Single, vartype::Double,   vartype::Currency,
                                    vartype::Date,   vartype::String,   vartype::Boolean,
                                    vartype::Byte,   vartype::ByteArray};
    return types[value.index()];
}

ByteArray VariantToBytes(const Variant& value) {
    ByteArray out;
    std::visit(
        [&out](const auto& v) {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::monostate>) {
            } else if constexpr (std::is_same_v<T, std::string>) {
                out.assign(v.begin(), v.end());
            } else if constexpr (std::is_same_v<T, ByteArray>) {
                out = v;
            } else if constexpr (std::is_same_v<T, bool>) {
                appendRaw(out, static_cast<std::int16_t>(v ? -1 : 0));
            } else if constexpr (std::is_same_v<T, Currency>) {
                appendRaw(out, v.scaled);
            } else if constexpr (std::is_same_v<T, Date>) {
                appendRaw(out, v.days);
            } else {
                appendRaw(out, v);
            }
        },
        value);
    return out;
}

bool VariantFromBytes(int varType, const std::uint8_t* bytes, std::size_t count, Variant& value) {
    switch (varType) {
    case vartype::ByteArray:
        value = count ? ByteArray(bytes, bytes + count) : ByteArray();
        return true;
    case vartype::String:
        value = count ? std::string(reinterpret_cast<const char*>(bytes), count) : std::string();
        return true;
    case vartype::Boolean:
        value = readRaw<std::int16_t>(bytes, count) != 0;
        return true;
    case vartype::Byte:
        value = readRaw<std::uint8_t>(bytes, count);
        return true;
    case vartype::Currency:
        value = Currency{readRaw<std::int64_t>(bytes, count)};
        return true;
    case vartype::Date:
        value = Date{readRaw<double>(bytes, count)};
        return true;
    case vartype::Double:
        value = readRaw<double>(bytes, count);
        return true;
    case vartype::Integer:
        value = readRaw<std::int16_t>(bytes, count);
        return true;
    case vartype::Long:
        value = readRaw<std::int32_t>(bytes, count);
        return true;
    case vartype::Single:
        value = readRaw<float>(bytes, count);
        return true;
    default:
        return false;
    }
}
