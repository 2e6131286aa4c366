#pragma once

#include <array>
#include <cstddef>

#include "ITransport.h"
#include "RefPtr.h"
#include "TransportAdapter.h"

namespace brondal {

// Acknowledgements the layers write under the adapter's monitor, held on the stack of the
// thread that wrote them and written to their sockets when the batch ends, after that
// thread has let the monitor go. Every layered message is acknowledged as a paced packet,
// and by its sequence (one acknowledgement for several, see ResendLayer); written at once,
// each acknowledgement would let the monitor go for the write and take it back for nothing
// more than returning. Taking it back is where the readers of other connections collide.
//
// Only acknowledgements wait here: each stands on its own (a sequence acknowledgement
// covers every lower number, a paced one a packet of its own), so one written a little
// later, or after a frame another thread wrote meanwhile, means the same to the peer. Data
// and hellos are never held back, since their order on the socket is the protocol's.
//
// A batch is opened on the stack (PreOnDataReady, and a paced acknowledgement's task) by
// a thread that does not hold the monitor, and must be ended the same way: it is declared
// before the monitor's guard, so that the guard goes first. A write that fails is dropped,
// as an acknowledgement that cannot be written always was: the socket is failing, and the
// peer resends what it never saw acknowledged once the connection is back.
class AckBatch {
public:
    AckBatch() : outer_(current) { current = this; }
    ~AckBatch() {
        current = outer_;
        for (std::size_t i = 0; i < count_; ++i) {
            (void)held_[i].writer->Write(AdapterChannelId, held_[i].frame.Get());
        }
    }
    AckBatch(const AckBatch&) = delete;
    AckBatch& operator=(const AckBatch&) = delete;

    // The innermost batch open on this thread, or null.
    static AckBatch* Current() { return current; }

    // Holds the acknowledgement for writer; false when the batch is full (the caller
    // writes it at once, as without a batch).
    bool Hold(RefPtr<ITransportFastWrite::IWriter> writer, IDataStream* frame) {
        if (count_ == held_.size()) return false;
        held_[count_++] = Held{std::move(writer), RefPtr<IDataStream>(frame)};
        return true;
    }

private:
    struct Held {
        RefPtr<ITransportFastWrite::IWriter> writer;
        RefPtr<IDataStream> frame;
    };
    static inline thread_local AckBatch* current = nullptr;
    AckBatch* const outer_;
    // One received frame yields at most one acknowledgement of each kind.
    std::array<Held, 2> held_;
    std::size_t count_ = 0;
};

}  // namespace brondal
