// The costs of the value encoding that every message pays: small fixed-width values,
// strings, and the zero-copy framing operations (concatenation, slicing).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "IDataStream.h"
#include "RefPtr.h"

namespace {

using brondal::IDataStream;
using brondal::RefPtr;
using brondal::ResultOk;

constexpr int ValuesPerIteration = 1000;
constexpr std::uint32_t MiB = 1024 * 1024;

RefPtr<IDataStream> NewStream() {
    RefPtr<IDataStream> stream;
    brondal::NewDataStream(stream.Receive());
    return stream;
}

void BM_WriteUInt32(benchmark::State& state) {
    RefPtr<IDataStream> stream = NewStream();
    for (auto _ : state) {
        stream->Clear();
        for (int i = 0; i < ValuesPerIteration; ++i) {
            stream->WriteUInt32(static_cast<std::uint32_t>(i));
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * ValuesPerIteration * 4);
    state.SetItemsProcessed(state.iterations() * ValuesPerIteration);
}
BENCHMARK(BM_WriteUInt32);

void BM_ReadUInt32(benchmark::State& state) {
    RefPtr<IDataStream> stream = NewStream();
    for (int i = 0; i < ValuesPerIteration; ++i) {
        stream->WriteUInt32(static_cast<std::uint32_t>(i));
    }
    for (auto _ : state) {
        stream->SetPosition(0);
        std::uint32_t sum = 0;
        for (int i = 0; i < ValuesPerIteration; ++i) {
            std::uint32_t value;
            stream->ReadUInt32(&value);
            sum += value;
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(state.iterations() * ValuesPerIteration * 4);
    state.SetItemsProcessed(state.iterations() * ValuesPerIteration);
}
BENCHMARK(BM_ReadUInt32);

void BM_StringRoundTrip(benchmark::State& state) {
    const std::string text(static_cast<std::size_t>(state.range(0)), 'q');
    RefPtr<IDataStream> stream = NewStream();
    std::string back;
    for (auto _ : state) {
        stream->Clear();
        stream->WriteString(text);
        stream->ReadString(&back);
        benchmark::DoNotOptimize(back.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_StringRoundTrip)->Arg(16)->Arg(4096);

void BM_ConcatenateHeaderAndPayload(benchmark::State& state) {
    RefPtr<IDataStream> header = NewStream();
    for (std::uint32_t i = 0; i < 4; ++i) {
        header->WriteUInt32(i);
    }
    RefPtr<IDataStream> payload = NewStream();
    const std::vector<std::uint8_t> bytes(MiB, 7);
    payload->WriteBytes(bytes.data(), MiB);
    for (auto _ : state) {
        RefPtr<IDataStream> message;
        brondal::ConcatenateDataStreams(header.Get(), payload.Get(), message.Receive());
        benchmark::DoNotOptimize(message.Get());
    }
}
BENCHMARK(BM_ConcatenateHeaderAndPayload);

void BM_SlicePayloadInto4KiB(benchmark::State& state) {
    constexpr std::uint32_t Piece = 4096;
    // As a payload arrives from a socket: 64 KiB at a time.
    RefPtr<IDataStream> payload = NewStream();
    const std::vector<std::uint8_t> block(64 * 1024, 7);
    for (std::uint32_t i = 0; i < MiB / block.size(); ++i) {
        payload->WriteBytes(block.data(), static_cast<std::uint32_t>(block.size()));
    }
    std::vector<RefPtr<IDataStream>> pieces(MiB / Piece);
    for (auto _ : state) {
        for (std::uint32_t i = 0; i < pieces.size(); ++i) {
            brondal::SliceDataStream(payload.Get(), i * Piece, (i + 1) * Piece,
                                     pieces[i].Receive());
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(pieces.size()));
}
BENCHMARK(BM_SlicePayloadInto4KiB);

void BM_NewAndRelease(benchmark::State& state) {
    for (auto _ : state) {
        IDataStream* stream = nullptr;
        brondal::NewDataStream(&stream);
        benchmark::DoNotOptimize(stream);
        stream->Release();
    }
}
BENCHMARK(BM_NewAndRelease);

// A typical small request: a few values and a short string in a fresh stream.
void BM_SmallMessage(benchmark::State& state) {
    const std::string name = "directory/entry";
    for (auto _ : state) {
        RefPtr<IDataStream> stream = NewStream();
        stream->WriteUInt32(1);
        stream->WriteUInt64(2);
        stream->WriteString(name);
        stream->WriteBool(true);
        std::uint32_t hash;
        stream->GetHash(&hash);
        benchmark::DoNotOptimize(hash);
    }
}
BENCHMARK(BM_SmallMessage);

}  // namespace
