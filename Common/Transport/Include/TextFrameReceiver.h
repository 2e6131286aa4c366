#pragma once

#include <cstdint>
#include <functional>

#include "IByteSource.h"
#include "IDataStream.h"

namespace brondal {

// Reads text frames: the prefix, recognised in any letter case, then the text up to and
// including the first ';'. No state survives between passes.
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

    // One pass: delivers every complete frame found until the source has fewer than a
    // prefix's bytes, a frame's text exceeds the attempts, or the source closes. Returns the
    // number of frames delivered.
    static std::uint32_t ReceivePass(IByteSource& source, const Deliver& deliver);

private:
    // Consumes bytes up to and including the next prefix; false when the source ran short.
    static bool FindPrefix(IByteSource& source);
};

}  // namespace brondal
