#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "FuzzSupport.h"
#include "IDataStream.h"
#include "RefPtr.h"

// The fuzz targets' bytes as data streams and back, for the harnesses of every decoder that
// reads from a stream.

namespace brondal::fuzz {

// A stream holding bytes, written in pieces of at most piece bytes and joined by
// concatenation when piece is not 0, so that values straddle chunk boundaries as they do in
// streams made of received blocks and headers.
inline RefPtr<IDataStream> StreamOf(const Bytes& bytes, std::size_t piece = 0) {
    if (piece == 0) piece = std::max<std::size_t>(bytes.size(), 1);
    std::vector<RefPtr<IDataStream>> parts;
    std::vector<IDataStream*> sources;
    std::size_t at = 0;
    do {
        const std::size_t length = std::min(piece, bytes.size() - at);
        RefPtr<IDataStream> part;
        (void)NewDataStream(part.Receive());
        if (length != 0)
            (void)part->WriteBytes(bytes.data() + at, static_cast<std::uint32_t>(length));
        sources.push_back(part.Get());
        parts.push_back(std::move(part));
        at += length;
    } while (at < bytes.size());
    if (parts.size() == 1) return parts.front();
    RefPtr<IDataStream> joined;
    (void)ConcatenateDataStreams(sources, joined.Receive());
    return joined;
}

// The bytes from the stream's position to its end, read (so the position moves to the end).
inline Bytes RestOf(IDataStream* stream) {
    std::uint32_t size = 0;
    std::uint32_t position = 0;
    stream->GetSize(&size);
    stream->GetPosition(&position);
    Bytes bytes(size - position);
    if (!bytes.empty()) stream->ReadBytes(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    return bytes;
}

}  // namespace brondal::fuzz
