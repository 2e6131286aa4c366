#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "Uuid.h"

// Shared pieces of the fuzz targets. Each target defines FuzzOne, the check of one input,
// and FuzzSeeds, the valid messages its checked-in corpus starts from, made with the
// project's own encoders. libFuzzer drives FuzzOne in the fuzz build; the replay program of
// the normal build feeds it every file of the target's corpus and crashes folders.

namespace brondal::fuzz {

using Bytes = std::vector<std::uint8_t>;

struct Seed {
    std::string name;
    Bytes bytes;
};

class FuzzInput;

// Defined by each target.
void FuzzOne(FuzzInput& input);
// Defined by each target; the replay program writes them out with --write-seeds.
std::vector<Seed> FuzzSeeds();

// A property of the code under test that did not hold: the message names it, and abort()
// makes both libFuzzer and the replay test report the input.
[[noreturn]] inline void Violated(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", condition, file, line);
    std::abort();
}

#define FUZZ_CHECK(condition) \
    ((condition) ? static_cast<void>(0) : ::brondal::fuzz::Violated(#condition, __FILE__, __LINE__))

// Takes the fuzzer's bytes front to back. Past the end every value reads as zero and every
// byte run as empty, so a harness never has to check what is left before taking.
class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool Empty() const { return offset_ >= size_; }
    std::size_t Remaining() const { return size_ - offset_; }

    std::uint8_t Byte() { return Empty() ? 0 : data_[offset_++]; }
    bool Bool() { return (Byte() & 1) != 0; }

    // Little-endian, as the wire.
    template <class T>
    T Take() {
        static_assert(std::is_integral_v<T>);
        std::make_unsigned_t<T> value = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i)
            value |= static_cast<std::make_unsigned_t<T>>(
                static_cast<std::make_unsigned_t<T>>(Byte()) << (8 * i));
        return static_cast<T>(value);
    }

    // In the serial layout: Data1, Data2, Data3 little-endian, then Data4.
    UUID Uuid() {
        UUID id;
        id.Data1 = Take<std::uint32_t>();
        id.Data2 = Take<std::uint16_t>();
        id.Data3 = Take<std::uint16_t>();
        for (std::uint8_t& byte : id.Data4)
            byte = Byte();
        return id;
    }

    // A number in [0, bound], from as few bytes as the bound needs.
    std::uint32_t Below(std::uint32_t bound) {
        const std::uint32_t raw = bound <= 0xff     ? Byte()
                                  : bound <= 0xffff ? Take<std::uint16_t>()
                                                    : Take<std::uint32_t>();
        return bound == 0xffffffffu ? raw : raw % (bound + 1);
    }

    Bytes Take(std::size_t count) {
        count = std::min(count, Remaining());
        Bytes bytes(data_ + offset_, data_ + offset_ + count);
        offset_ += count;
        return bytes;
    }
    // A run whose length is the next byte (or the next two when wide).
    Bytes Sized(bool wide = false) { return Take(wide ? Take<std::uint16_t>() : Byte()); }
    Bytes Rest() { return Take(Remaining()); }
    std::string Text(std::size_t count) {
        const Bytes bytes = Take(count);
        return std::string(bytes.begin(), bytes.end());
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t offset_ = 0;
};

// Builds seeds: appends values in the layout FuzzInput reads them.
class SeedWriter {
public:
    SeedWriter& Byte(std::uint8_t value) {
        bytes_.push_back(value);
        return *this;
    }
    template <class T>
    SeedWriter& Put(T value) {
        for (std::size_t i = 0; i < sizeof(T); ++i)
            bytes_.push_back(
                static_cast<std::uint8_t>(static_cast<std::make_unsigned_t<T>>(value) >> (8 * i)));
        return *this;
    }
    SeedWriter& Append(const Bytes& bytes) {
        bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
        return *this;
    }
    SeedWriter& Append(const std::string& text) {
        for (char c : text)
            bytes_.push_back(static_cast<std::uint8_t>(c));
        return *this;
    }
    // The counterpart of FuzzInput::Sized.
    SeedWriter& Sized(const Bytes& bytes, bool wide = false) {
        if (wide) {
            Put(static_cast<std::uint16_t>(bytes.size()));
        } else {
            Byte(static_cast<std::uint8_t>(bytes.size()));
        }
        return Append(bytes);
    }
    const Bytes& Get() const { return bytes_; }

private:
    Bytes bytes_;
};

}  // namespace brondal::fuzz
