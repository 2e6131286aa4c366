#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>

#include "IDataStream.h"
#include "MiniBsonNode.h"

namespace brondal::minibson {

// A leaf value: a fixed-width number, or a string (int32 length including the terminating
// zero, the bytes, the zero).
template <class T, std::uint8_t Type>
class scalar final : public node {
public:
    explicit scalar(T value) : value_(std::move(value)) {}

    const T& Value() const { return value_; }

    std::uint8_t GetType() const override { return Type; }

    std::uint32_t GetSize() const override {
        if constexpr (std::is_same_v<T, std::string>) {
            return 4 + static_cast<std::uint32_t>(value_.size()) + 1;
        } else {
            return sizeof(T);
        }
    }

    [[nodiscard]] Result Serialize(IDataStream* out) const override {
        if constexpr (std::is_same_v<T, std::string>) {
            const auto length = static_cast<std::uint32_t>(value_.size());
            Result result = out->WriteInt32(static_cast<std::int32_t>(length + 1));
            if (Succeeded(result) && length != 0) result = out->WriteBytes(value_.data(), length);
            if (Succeeded(result)) result = out->WriteUInt8(0);
            return result;
        } else if constexpr (std::is_same_v<T, double>) {
            return out->WriteDouble(value_);
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
            return out->WriteInt64(value_);
        } else {
            return out->WriteInt32(value_);
        }
    }

    void Print(std::string* text, int) const override {
        if constexpr (std::is_same_v<T, std::string>) {
            text->append("\"").append(value_).append("\"");
        } else {
            text->append(std::to_string(value_));
        }
    }

private:
    T value_;
};

using int32 = scalar<std::int32_t, TypeInt32>;
using int64 = scalar<std::int64_t, TypeInt64>;
using Double = scalar<double, TypeDouble>;
using string = scalar<std::string, TypeString>;

}  // namespace brondal::minibson
