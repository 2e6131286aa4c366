#include "BinaryFrameReceiver.h"

#include <algorithm>
#include <cstring>

#include "LogCall.h"
#include "Scheduler.h"

namespace brondal {

namespace {

BinaryFrameReceiver::Outcome StatusOutcome(std::int32_t status) {
    return status == IByteSource::Pending ? BinaryFrameReceiver::Outcome::Pending
                                          : BinaryFrameReceiver::Outcome::Broken;
}

}  // namespace

BinaryFrameReceiver::Outcome BinaryFrameReceiver::ReceivePass(IByteSource& source, Frame* frame) {
    Outcome outcome = Outcome::Pending;
    // A body whole in the pass that read its header keeps the header's time (microseconds
    // apart): one clock read per frame instead of two.
    const bool headerNoted = state_ == State::Header;
    bool markerAhead = false;
    if (state_ == State::Header && headerReceived_ == 0) {
        // The peek brings in what has arrived (one receive), so that the first frame of a
        // burst is held whole too; on nothing, its answer is the marker search's.
        const std::int32_t peeked = PeekMarker(source, &markerAhead);
        if (peeked <= 0) return StatusOutcome(peeked);
        if (const std::optional<Outcome> whole = ReceiveHeld(source, frame)) return *whole;
    }
    switch (state_) {
        case State::Header:
            if (!ReceiveHeader(source, &outcome, markerAhead)) return outcome;
            [[fallthrough]];
        case State::Identifier:
            if (!ReceiveIdentifier(source, &outcome)) return outcome;
            [[fallthrough]];
        case State::Body:
            if (!ReceiveBody(source, &outcome, !headerNoted)) return outcome;
            [[fallthrough]];
        case State::Deliver:
            break;
    }
    return Deliver(frame);
}

std::optional<BinaryFrameReceiver::Outcome> BinaryFrameReceiver::ReceiveHeld(IByteSource& source,
                                                                             Frame* frame) {
    const std::uint8_t* bytes = nullptr;
    const std::uint32_t held = source.PeekHeld(&bytes);
    if (held < FrameHeaderLength || std::memcmp(bytes, FrameMarker, FrameMarkerLength) != 0) {
        return std::nullopt;
    }
    // Over the limit: dropped by the field-by-field path. The copy below is of bytes that
    // have arrived, so it is bounded by the source's own buffer.
    const std::uint32_t length = DecodeUInt32(bytes + FrameLengthOffset);
    if (length > MaxFramePayload || held - FrameHeaderLength < length) return std::nullopt;
    RefPtr<IDataStream> data;
    Result result = NewDataStream(data.Receive());
    if (Succeeded(result) && length > 0) {
        result = data->WriteBytes(bytes + FrameHeaderLength, length);
    }
    // The other path reports a failed allocation.
    if (Failed(result)) return std::nullopt;
    channel_ = DecodeChannelId(bytes + FrameChannelOffset);
    length_ = length;
    source.Consume(FrameHeaderLength + length);
    NoteActivity();
    return Classify(frame, std::move(data));
}

bool BinaryFrameReceiver::ReceiveHeader(IByteSource& source, Outcome* outcome, bool markerAhead) {
    if (!markerAhead && !FindMarker(source, outcome)) return false;

    const std::uint32_t wanted = sizeof(header_) - headerReceived_;
    std::uint32_t received = 0;
    std::int32_t status = source.ReceiveExact(header_ + headerReceived_, wanted, &received);
    headerReceived_ += received;
    if (status != static_cast<std::int32_t>(wanted)) {
        if (status != IByteSource::Pending) Restart();
        *outcome = StatusOutcome(status);
        return false;
    }

    headerReceived_ = 0;
    const std::uint32_t length = DecodeUInt32(header_ + FrameLengthOffset);
    if (length > MaxFramePayload) {
        // The identifier and body that follow are skipped by the marker search.
        *outcome = Outcome::Dropped;
        return false;
    }
    length_ = length;
    channelReceived_ = 0;
    body_.Begin(length);
    NoteActivity();
    state_ = State::Identifier;
    return true;
}

// Discards bytes one at a time until the stream continues with the marker. headerReceived_
// counts the marker bytes matched so far; the marker repeats no prefix of itself inside, so
// a mismatching byte restarts the match at 0, or at 1 when it is the marker's first byte.
//
// Bytes are consumed as they are examined, rather than peeked at until seven are available:
// a peer that stops, or closes, after part of a marker would otherwise leave the same bytes
// readable forever and its close unseen. A peek is only the fast path for a marker that is
// already there whole, which the header read below then takes with the length.
std::int32_t BinaryFrameReceiver::PeekMarker(IByteSource& source, bool* markerAhead) {
    std::uint8_t window[FrameMarkerLength];
    const std::int32_t peeked = source.Peek(window, FrameMarkerLength);
    *markerAhead = peeked == static_cast<std::int32_t>(FrameMarkerLength) &&
                   std::memcmp(window, FrameMarker, FrameMarkerLength) == 0;
    return peeked;
}

bool BinaryFrameReceiver::FindMarker(IByteSource& source, Outcome* outcome) {
    while (headerReceived_ < FrameMarkerLength) {
        if (headerReceived_ == 0) {
            bool markerAhead = false;
            const std::int32_t peeked = PeekMarker(source, &markerAhead);
            if (peeked <= 0) {
                *outcome = StatusOutcome(peeked);
                return false;
            }
            if (markerAhead) return true;
        }
        std::uint8_t byte;
        std::int32_t status = source.Receive(&byte, 1);
        if (status != 1) {
            if (status != IByteSource::Pending) Restart();
            *outcome = StatusOutcome(status);
            return false;
        }
        if (byte == FrameMarker[headerReceived_]) {
            header_[headerReceived_++] = byte;
        } else {
            headerReceived_ = byte == FrameMarker[0] ? 1 : 0;
            header_[0] = FrameMarker[0];
        }
    }
    return true;
}

bool BinaryFrameReceiver::ReceiveIdentifier(IByteSource& source, Outcome* outcome) {
    if (state_ == State::Identifier) {
        const std::uint32_t wanted = ChannelIdLength - channelReceived_;
        std::uint32_t received = 0;
        std::int32_t status =
            source.ReceiveExact(channelBytes_ + channelReceived_, wanted, &received);
        channelReceived_ += received;
        if (status != static_cast<std::int32_t>(wanted)) {
            if (status != IByteSource::Pending) Restart();
            *outcome = StatusOutcome(status);
            return false;
        }
        channel_ = DecodeChannelId(channelBytes_);
        state_ = length_ > 0 ? State::Body : State::Deliver;
    }
    return true;
}

bool BinaryFrameReceiver::ReceiveBody(IByteSource& source, Outcome* outcome, bool noteActivity) {
    if (state_ != State::Body) return true;
    while (!body_.IsComplete()) {
        const std::uint32_t wanted = std::min(body_.Length() - body_.Size(), MaxBodyRead);
        if (!body_.Reserve(wanted)) {
            LOG_SEVERE("MESSAGE_BODY_READ unable to new memory of size %u",
                       body_.FailedAllocation());
            Restart();
            *outcome = Outcome::OutOfMemory;
            return false;
        }
        std::int32_t status = source.Receive(body_.WritePosition(), wanted);
        if (status <= 0) {
            if (status != IByteSource::Pending) Restart();
            *outcome = StatusOutcome(status);
            return false;
        }
        body_.Commit(static_cast<std::uint32_t>(status));
    }
    if (noteActivity) NoteActivity();
    state_ = State::Deliver;
    return true;
}

BinaryFrameReceiver::Outcome BinaryFrameReceiver::Deliver(Frame* frame) {
    state_ = State::Header;
    RefPtr<IDataStream> data;
    Result result = NewDataStream(data.Receive());
    if (Succeeded(result) && length_ > 0) {
        // A small body is copied (one buffer with its record); a larger one's array is
        // adopted without copying, and freed by the stream even when that fails.
        result = body_.IsInline() ? data->WriteBytes(body_.Data(), length_)
                                  : data->AttachBuffer(body_.Release(), length_);
    }
    body_.Reset();
    if (Failed(result)) {
        LOG_SEVERE("MESSAGE_BODY_READ unable to new memory of size %u", length_);
        return Outcome::OutOfMemory;
    }
    return Classify(frame, std::move(data));
}

BinaryFrameReceiver::Outcome BinaryFrameReceiver::Classify(Frame* frame, RefPtr<IDataStream> data) {
    if (channel_ == KeepAliveSettingsId) {
        std::uint32_t interval = 0;
        std::uint32_t timeout = 0;
        if (Failed(data->ReadUInt32(&interval)) || Failed(data->ReadUInt32(&timeout))) {
            return Outcome::Dropped;
        }
        frame->channel = channel_;
        frame->data = nullptr;
        frame->keepAliveIntervalMs = interval;
        frame->keepAliveTimeoutMs = timeout;
        return Outcome::KeepAliveSettings;
    }
    frame->channel = channel_;
    if (channel_ == KeepAlivePingId) {
        frame->data = nullptr;
        return Outcome::KeepAlivePing;
    }
    frame->data = std::move(data);
    return Outcome::Data;
}

void BinaryFrameReceiver::Restart() {
    state_ = State::Header;
    headerReceived_ = 0;
    channelReceived_ = 0;
    body_.Reset();
}

void BinaryFrameReceiver::NoteActivity() {
    lastActivityMs_.store(GetScheduler().GetTimeMs(), std::memory_order_relaxed);
}

}  // namespace brondal
