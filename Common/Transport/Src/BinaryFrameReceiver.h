#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "FrameBodyBuffer.h"
#include "IByteSource.h"
#include "IDataStream.h"
#include "RefPtr.h"
#include "Uuid.h"
#include "WireFormat.h"

namespace brondal {

// Reassembles binary frames from a connection's bytes, one pass of the reader at a time.
// The state and a partly received frame (header bytes, identifier bytes, body) survive
// between passes, so a source may stop at any byte (Pending) and the next pass carries on.
//
// Garbage is skipped one byte at a time until the marker has been read. A header announcing
// more than MaxFramePayload is dropped and its remaining bytes skipped the same way. Bodies
// are received in reads of at most MaxBodyRead bytes. A frame that is whole among the bytes
// the source already holds is taken from them at once (one copy, no read per field): with
// several frames in one receive, as a layered message and its acknowledgements come, that
// is most of them.
//
// Used by the reader thread only; GetLastActivityMs may be read from any thread.
class BinaryFrameReceiver {
public:
    enum class State : std::uint8_t { Header = 0, Identifier = 1, Body = 2, Deliver = 3 };

    enum class Outcome {
        // A frame for the transport's users: frame->channel and frame->data are set.
        Data,
        // The peer's keep-alive settings: frame->keepAliveIntervalMs and TimeoutMs are set.
        KeepAliveSettings,
        KeepAlivePing,
        // No complete frame: the source had nothing more. Partial state is kept.
        Pending,
        // A header over the size limit, or keep-alive settings too short to hold both
        // values, was dropped.
        Dropped,
        // The source closed or failed part-way; the partial frame is gone and the state is
        // Header again. The reader pauses briefly (10 ms) before its next pass and finds the
        // closed socket then.
        Broken,
        // The body buffer could not grow (logged). The frame is lost and the state is Header;
        // the rest of its body would be skipped as junk, but the peer cannot learn of the
        // loss, so the safe answer is to close the connection.
        OutOfMemory,
    };

    struct Frame {
        UUID channel;
        RefPtr<IDataStream> data;
        std::uint32_t keepAliveIntervalMs = 0;
        std::uint32_t keepAliveTimeoutMs = 0;
    };

    static constexpr std::uint32_t MaxBodyRead = 4096;

    BinaryFrameReceiver() = default;
    BinaryFrameReceiver(const BinaryFrameReceiver&) = delete;
    BinaryFrameReceiver& operator=(const BinaryFrameReceiver&) = delete;

    // One pass: reads until one frame is complete or the source stops delivering. frame is
    // written only for Data, KeepAliveSettings and KeepAlivePing.
    Outcome ReceivePass(IByteSource& source, Frame* frame);

    State GetState() const { return state_; }
    std::uint32_t GetFrameLength() const { return length_; }
    std::uint32_t GetReceived() const { return body_.Size(); }
    std::uint32_t GetBodyCapacity() const { return body_.Capacity(); }
    // The scheduler's UTC clock when a header was last accepted or a body last completed;
    // 0 before the first header.
    std::int64_t GetLastActivityMs() const {
        return lastActivityMs_.load(std::memory_order_relaxed);
    }

private:
    // Each returns true to go on with the next state within this pass, false with *outcome
    // set to end the pass.
    // markerAhead: a peek has just seen the whole marker at the front.
    bool ReceiveHeader(IByteSource& source, Outcome* outcome, bool markerAhead);
    bool FindMarker(IByteSource& source, Outcome* outcome);
    // Peeks at the front of the stream: the peek's status (0 or below: nothing to read, as
    // a status) and, in *markerAhead, whether the whole marker is there.
    static std::int32_t PeekMarker(IByteSource& source, bool* markerAhead);
    bool ReceiveIdentifier(IByteSource& source, Outcome* outcome);
    // noteActivity: stamp the time when the body completes (its header came in an earlier
    // pass).
    bool ReceiveBody(IByteSource& source, Outcome* outcome, bool noteActivity);
    Outcome Deliver(Frame* frame);
    // A frame whole among the bytes the source holds (PeekHeld), taken in one step; nothing
    // (and nothing consumed) when there is none, for the field-by-field path to go on.
    std::optional<Outcome> ReceiveHeld(IByteSource& source, Frame* frame);
    // Hands out a received frame's stream, or its keep-alive contents.
    Outcome Classify(Frame* frame, RefPtr<IDataStream> data);
    // Forgets the partial frame and returns to Header.
    void Restart();
    void NoteActivity();

    State state_ = State::Header;
    // Marker and length; headerReceived_ also counts the marker bytes matched so far.
    std::uint8_t header_[FrameChannelOffset] = {};
    std::uint32_t headerReceived_ = 0;
    std::uint8_t channelBytes_[ChannelIdLength] = {};
    std::uint32_t channelReceived_ = 0;
    std::uint32_t length_ = 0;
    UUID channel_;
    FrameBodyBuffer body_;
    std::atomic<std::int64_t> lastActivityMs_{0};
};

}  // namespace brondal
