#pragma once

#include <cstdint>
#include <functional>

#include "IByteSource.h"
#include "IDataStream.h"

namespace brondal {

// Reads text frames: the prefix, recognised in any letter case, then the text up to and
// including the first ';'. Bytes are consumed as they are examined, and the part of a prefix
// matched so far survives between passes: a peer that stops inside a prefix leaves nothing
// readable behind, so the reader waits for more instead of finding the same bytes again.
class TextFrameReceiver {
public:
    // Read attempts allowed for one frame's text, a read that brings nothing included.
    static constexpr std::uint32_t MaxTextAttempts = 101;
    // How long one attempt waits for its byte. Bounded so that a peer that stops inside a
    // frame costs at most about a second of the reader's time (and the reader still sees a
    // stop request), while a text split over a few segments still comes together.
    static constexpr std::uint32_t ByteWaitMs = 10;

    // Receives the frame's text as a stream holding it in one WriteString; the listeners
    // get it under the nil channel.
    using Deliver = std::function<void(IDataStream* text)>;

    // One pass: delivers every complete frame found until the source has nothing more, a
    // frame's text exceeds the attempts, or the source closes. Returns the number of frames
    // delivered.
    std::uint32_t ReceivePass(IByteSource& source, const Deliver& deliver);

    // How many bytes of the prefix the last pass ended inside.
    std::uint32_t PrefixMatched() const { return matched_; }

private:
    // Consumes bytes up to and including the next prefix; false when the source ran short.
    bool FindPrefix(IByteSource& source);

    std::uint32_t matched_ = 0;
};

}  // namespace brondal
