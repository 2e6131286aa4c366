#include "TextFrameReceiver.h"

#include <cstring>
#include <string>

#include "RefPtr.h"
#include "WireFormat.h"

namespace brondal {

namespace {

void ToUpperAscii(std::uint8_t* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (bytes[i] >= 'a' && bytes[i] <= 'z') bytes[i] = static_cast<std::uint8_t>(bytes[i] - 32);
    }
}

bool EndsFrame(const std::string& text) { return !text.empty() && text.back() == ';'; }

}  // namespace

bool TextFrameReceiver::FindPrefix(IByteSource& source) {
    std::uint8_t window[TextFramePrefixLength] = {};
    while (std::memcmp(window, TextFramePrefix, TextFramePrefixLength) != 0) {
        if (source.Peek(window, TextFramePrefixLength) !=
            static_cast<std::int32_t>(TextFramePrefixLength)) {
            return false;
        }
        std::uint8_t discarded;
        if (source.Receive(&discarded, 1) != 1) return false;
        ToUpperAscii(window, TextFramePrefixLength);
    }
    std::uint8_t rest[TextFramePrefixLength - 1];
    std::uint32_t received = 0;
    return source.ReceiveExact(rest, sizeof(rest), &received) ==
           static_cast<std::int32_t>(sizeof(rest));
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
