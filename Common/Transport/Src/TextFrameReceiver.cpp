#include "TextFrameReceiver.h"

#include <string>

#include "RefPtr.h"
#include "WireFormat.h"

namespace brondal {

namespace {

std::uint8_t UpperAscii(std::uint8_t byte) {
    return byte >= 'a' && byte <= 'z' ? static_cast<std::uint8_t>(byte - 32) : byte;
}

bool EndsFrame(const std::string& text) { return !text.empty() && text.back() == ';'; }

}  // namespace

// The prefix repeats no prefix of itself inside, so a mismatching byte restarts the match
// at 0, or at 1 when it is the prefix's first byte.
bool TextFrameReceiver::FindPrefix(IByteSource& source) {
    while (matched_ < TextFramePrefixLength) {
        std::uint8_t byte;
        if (source.Receive(&byte, 1) != 1) return false;
        byte = UpperAscii(byte);
        if (byte == TextFramePrefix[matched_]) {
            ++matched_;
        } else {
            matched_ = byte == TextFramePrefix[0] ? 1 : 0;
        }
    }
    matched_ = 0;
    return true;
}

std::uint32_t TextFrameReceiver::ReceivePass(IByteSource& source, const Deliver& deliver) {
    std::uint32_t delivered = 0;
    while (FindPrefix(source)) {
        std::string text;
        for (std::uint32_t attempt = 0; attempt < MaxTextAttempts && !EndsFrame(text); ++attempt) {
            std::int32_t ready = source.WaitReadable(ByteWaitMs);
            if (ready == IByteSource::Pending) continue;
            std::uint8_t byte;
            std::int32_t status = ready == 1 ? source.Receive(&byte, 1) : ready;
            if (status == 1) {
                text.push_back(static_cast<char>(byte));
            } else if (status != IByteSource::Pending) {
                // Closed or failed: no further attempt can bring the ';'.
                return delivered;
            }
        }
        if (!EndsFrame(text)) return delivered;

        RefPtr<IDataStream> stream;
        if (Failed(NewDataStream(stream.Receive())) || Failed(stream->WriteString(text))) {
            return delivered;
        }
        deliver(stream.Get());
        ++delivered;
    }
    return delivered;
}

}  // namespace brondal
