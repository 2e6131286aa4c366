// The receive path of a layered connection: resend over fragment over flow control, each
// packet taken as the adapter's data hook takes it (through the layers, into the
// connection's inbox, then the paced queue's pump and the post-receive task).
//
// Even mode, packets from the fuzzer (raw, or paced fragments of any length repeated many
// times) and socket replacements: sequenced delivery advances one step at a time, no
// message handed up exceeds the frame limit, and the reassembly budget holds at most one
// message's worth and nothing once the socket is gone.
//
// Odd mode, a sending stack and a receiving stack joined by one socket at a time, under a
// schedule from the fuzzer: messages of up to three fragments, deliveries each way, socket
// cuts (every packet in flight lost), reconnects (hello, then the resend) and the sender's
// window closing and opening. Whatever the schedule, the receiver hands up exactly the
// messages sent, intact, in order, each once; hellos arrive as sent; and once the last
// socket has drained, the sender retains and queues nothing.
#include <deque>
#include <utility>

#include "FlowControlLayer.h"
#include "FragmentLayer.h"
#include "FuzzStreams.h"
#include "FuzzSupport.h"
#include "LayerHeaders.h"
#include "MyFactory.h"
#include "ResendLayer.h"
#include "WireFormat.h"

namespace brondal::fuzz {
namespace {

constexpr UUID Channel(0x11111111, 0x2222, 0x3333, 0x4444555566667777);
constexpr UUID ConnectionId(0xc0c0c0c0, 0x1, 0x2, 0x0303030303030303);
constexpr UUID SessionId(0x5e55105e, 0x3, 0x4, 0x0505050505050505);

// The bytes of a stream from its position, without moving it.
Bytes Contents(IDataStream* stream) {
    std::uint32_t position = 0;
    std::uint32_t size = 0;
    RefPtr<IDataStream> view;
    stream->GetPosition(&position);
    stream->GetSize(&size);
    SliceDataStream(stream, position, size, view.Receive());
    return RestOf(view.Get());
}

// The socket under a stack: what the stack sends joins the queue to the other side; while
// the socket is cut every send fails as a lost socket's does.
struct Socket final : ITransportLayer {
    std::deque<Bytes>* out;
    const bool* cut;
    Socket(std::deque<Bytes>* queue, const bool* isCut) : out(queue), cut(isCut) {}
    Result Send(IDataStream* message, std::uint32_t) override {
        if (*cut) return ResultSocketWriteFailed;
        out->push_back(Contents(message));
        return ResultOk;
    }
    Result Receive(RefPtr<IDataStream>&, RefPtr<ITransport::PostReceiveTask>&) override {
        return ResultOk;
    }
    Result Connect(const UUID&, const UUID&, bool) override { return ResultOk; }
    Result Disconnect() override { return ResultOk; }
};

// The sender's window, opened and closed by the schedule: while it is closed, first-time
// pieces wait in the paced queue. What comes back acknowledges one paced packet: a fragment
// of 1 to 4096 bytes and two headers.
struct ScriptedWindow final : IFlowControl {
    const bool* open;
    explicit ScriptedWindow(const bool* isOpen) : open(isOpen) {}
    bool OnWrite(std::int64_t, std::int32_t) override { return *open; }
    bool IsOpen() const override { return *open; }
    void OnAck(std::int64_t, std::int64_t acked) override {
        FUZZ_CHECK(acked > PacedDataHeaderSize + FragmentHeaderSize &&
                   acked <= PacedDataHeaderSize + FragmentHeaderSize + MaxFragmentBody);
    }
    void Reset() override {}
};

// The layers as the adapter's connection builds them, with the connection's part: the
// delivery of accepted messages (its inbox) and the reconnecting state.
struct Stack final : IResendConnection {
    std::vector<Hello> hellos;
    // Payloads accepted and not yet taken, in the order the resend layer accepted them.
    std::deque<std::pair<UUID, Bytes>> inbox;
    bool copy = true;
    bool reconnecting = false;
    const std::shared_ptr<FragmentLayer::Budget> budget = std::make_shared<FragmentLayer::Budget>();
    FlowControlLayer* flow = nullptr;
    std::unique_ptr<ResendLayer> top;
    std::vector<ITransportLayer*> layers;

    Stack(std::deque<Bytes>* out, const bool* cut, std::unique_ptr<IFlowControl> window) {
        auto owned = std::make_unique<FlowControlLayer>(
            nullptr, nullptr, 0x7f000001, 1, std::move(window), std::make_unique<Socket>(out, cut));
        flow = owned.get();
        auto fragment = std::make_unique<FragmentLayer>(std::move(owned), &ConnectionId, budget);
        ITransportLayer* fragmentLayer = fragment.get();
        top = std::make_unique<ResendLayer>(this, std::move(fragment));
        layers = {top.get(), fragmentLayer, flow};
    }
    Result OnConnect(const UUID& id, const UUID& session, bool reconnect) override {
        hellos.push_back({id, session, reconnect});
        return ResultOk;
    }
    Result OnAccepted(IDataStream* message) override {
        std::uint32_t size = 0;
        message->GetSize(&size);
        // Reassembly is bounded by the transport's frame limit.
        FUZZ_CHECK(size <= MaxFramePayload);
        std::uint8_t kind = 0;
        UUID channel;
        Result result;
        if (Failed(result = message->ReadUInt8(&kind)) ||
            Failed(result = ReadUserMessageHeader(message, &channel))) {
            return result;
        }
        inbox.emplace_back(channel, copy ? RestOf(message) : Bytes());
        return ResultOk;
    }
    bool Reconnecting() const override { return reconnecting; }

    void Connect(bool reconnect) {
        for (ITransportLayer* layer : layers)
            if (Failed(layer->Connect(ConnectionId, SessionId, reconnect))) break;
        reconnecting = false;
    }
    void Disconnect() {
        reconnecting = true;
        for (ITransportLayer* layer : layers)
            layer->Disconnect();
        // A message half reassembled on the lost socket is dropped with its charge.
        FUZZ_CHECK(budget->Used() == 0);
    }
    void Send(const Bytes& message) {
        // A failure is a lost socket: the message stays retained for the resend.
        if (Succeeded(top->Send(StreamOf(message).Get(), 1000))) flow->Pump();
    }
    // One packet as the data hook takes it, then the pump an acknowledgement may allow.
    void Receive(const Bytes& packet, std::size_t piece) { Receive(StreamOf(packet, piece)); }
    void Receive(RefPtr<IDataStream> stream) {
        RefPtr<ITransport::PostReceiveTask> task;
        const std::uint64_t before = top->LastReceived();
        const std::size_t accepted = inbox.size();
        top->Receive(stream, task);
        // Sequenced delivery moves one step at a time, and each step is one message taken
        // (or one dropped as unreadable).
        FUZZ_CHECK(top->LastReceived() == before || top->LastReceived() == before + 1);
        FUZZ_CHECK(inbox.size() - accepted <= top->LastReceived() - before);
        // A partial message holds at most the frame limit and its pieces' bookkeeping.
        FUZZ_CHECK(budget->Used() <= MaxFramePayload + ReassemblyLimits{}.maxFragments *
                                                           FragmentLayer::Budget::PieceCost);
        flow->Pump();
        if (task) task->Run();
    }
};

Scheduler::Monitor& SharedMonitor() {
    static Scheduler::Monitor* const monitor = GetScheduler().CreateMonitor().release();
    return *monitor;
}

std::unique_ptr<IFlowControl> RealWindow() {
    return std::make_shared<MyFactory>(0, &SharedMonitor())->Create();
}

Bytes Header(Result (*write)(IDataStream*, std::int64_t), std::int64_t value) {
    RefPtr<IDataStream> stream;
    NewDataStream(stream.Receive());
    write(stream.Get(), value);
    return RestOf(stream.Get());
}

void RawPackets(FuzzInput& input) {
    bool cut = false;
    std::deque<Bytes> sent;
    Stack receiver(&sent, &cut, RealWindow());
    receiver.copy = false;
    receiver.Connect(false);
    while (!input.Empty()) {
        switch (input.Byte() % 4) {
            case 0:
            case 1: {
                const Bytes packet = input.Sized(true);
                receiver.Receive(packet, input.Byte() % 8);
                break;
            }
            case 2: {
                // Paced fragments of up to a full body, repeated, then one with the given
                // last flag: a long message from a short input.
                const Bytes paced = Header(WritePacedDataHeader, input.Take<std::int64_t>());
                const std::uint8_t last = input.Byte();
                Bytes packet = paced;
                packet.push_back(FragmentKind);
                packet.push_back(0);
                packet.resize(packet.size() + input.Below(MaxFragmentBody), 0xee);
                // Long runs only behind a marker byte: they cost the fuzzer time.
                const std::uint32_t repeats =
                    input.Byte() == 0xff ? input.Below(30000) : input.Below(7);
                // Views of one stream: a run of 25600 costs no copies of its bodies.
                const RefPtr<IDataStream> shared = StreamOf(packet);
                for (std::uint32_t repeat = repeats; repeat > 0; --repeat) {
                    RefPtr<IDataStream> view;
                    SliceDataStream(shared.Get(), 0, static_cast<std::uint32_t>(packet.size()),
                                    view.Receive());
                    receiver.Receive(view);
                }
                packet[paced.size() + 1] = last;
                receiver.Receive(packet, 0);
                break;
            }
            case 3:
                receiver.Disconnect();
                sent.clear();
                receiver.Connect(true);
                break;
        }
        receiver.inbox.clear();
        sent.clear();
    }
}

// A message that names its index, so that order and completeness can be seen.
Bytes Numbered(std::uint64_t index, std::size_t size) {
    Bytes bytes(size + 8);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = i < 8 ? static_cast<std::uint8_t>(index >> (8 * i))
                         : static_cast<std::uint8_t>(index * 31 + i);
    return bytes;
}

void Scheduled(FuzzInput& input) {
    bool cut = false;
    bool open = true;
    std::deque<Bytes> toReceiver;
    std::deque<Bytes> toSender;
    Stack sender(&toReceiver, &cut, std::make_unique<ScriptedWindow>(&open));
    Stack receiver(&toSender, &cut, RealWindow());
    std::vector<Bytes> sent;
    std::size_t delivered = 0;
    bool reconnected = false;

    const auto toReceiverOne = [&] {
        const Bytes packet = std::move(toReceiver.front());
        toReceiver.pop_front();
        const std::size_t hellos = receiver.hellos.size();
        // Headers split across chunks, without cutting long bodies into thousands of them.
        const std::size_t piece =
            packet.size() <= 64 ? packet.size() % 5 : packet.size() % 3 * 1000;
        receiver.Receive(packet, piece);
        for (; !receiver.inbox.empty(); receiver.inbox.pop_front()) {
            // Exactly the next message sent, intact.
            FUZZ_CHECK(receiver.inbox.front().first == Channel);
            FUZZ_CHECK(delivered < sent.size() && receiver.inbox.front().second == sent[delivered]);
            ++delivered;
        }
        if (receiver.hellos.size() != hellos) {
            // The accepting side takes the identity and answers with the same.
            const Hello& hello = receiver.hellos.back();
            FUZZ_CHECK(hello.connectionId == ConnectionId && hello.sessionId == SessionId &&
                       hello.reconnect == reconnected);
            receiver.Connect(hello.reconnect);
        }
    };
    const auto toSenderOne = [&] {
        const Bytes packet = std::move(toSender.front());
        toSender.pop_front();
        const std::size_t hellos = sender.hellos.size();
        sender.Receive(packet, 0);
        // The receiver sends nothing but acknowledgements and hellos.
        FUZZ_CHECK(sender.inbox.empty());
        if (sender.hellos.size() != hellos) {
            const Hello& hello = sender.hellos.back();
            FUZZ_CHECK(hello.connectionId == ConnectionId && hello.sessionId == SessionId &&
                       hello.reconnect == reconnected);
        }
    };
    const auto reconnect = [&] {
        cut = false;
        reconnected = true;
        sender.Connect(true);
    };

    sender.Connect(false);
    while (!input.Empty()) {
        switch (input.Byte() % 7) {
            case 0: {
                Bytes message;
                {
                    RefPtr<IDataStream> header;
                    NewDataStream(header.Receive());
                    WriteUserMessageHeader(header.Get(), Channel);
                    message = RestOf(header.Get());
                }
                sent.push_back(Numbered(sent.size(), input.Below(3 * MaxFragmentBody)));
                message.insert(message.end(), sent.back().begin(), sent.back().end());
                sender.Send(message);
                break;
            }
            case 1:
                for (std::uint32_t n = input.Below(7) + 1; n > 0 && !toReceiver.empty(); --n)
                    toReceiverOne();
                break;
            case 2:
                for (std::uint32_t n = input.Below(7) + 1; n > 0 && !toSender.empty(); --n)
                    toSenderOne();
                break;
            case 3:
                cut = true;
                toReceiver.clear();
                toSender.clear();
                sender.Disconnect();
                receiver.Disconnect();
                // The paced queue went with the socket: the resend carries it.
                FUZZ_CHECK(sender.flow->QueuedPackets() == 0);
                break;
            case 4:
                if (cut) reconnect();
                break;
            case 5:
                open = !open;
                sender.flow->Pump();
                break;
            case 6:
                // The adapter's timer: what was taken and not yet acknowledged is.
                (void)receiver.top->FlushAcknowledgement();
                (void)sender.top->FlushAcknowledgement();
                break;
        }
    }
    if (cut) reconnect();
    open = true;
    sender.flow->Pump();
    // Both ways until the socket is quiet; each message and acknowledgement goes once.
    for (std::size_t round = 0; round < 4 * sent.size() + 64; ++round) {
        if (toReceiver.empty() && toSender.empty()) (void)receiver.top->FlushAcknowledgement();
        if (toReceiver.empty() && toSender.empty()) break;
        while (!toReceiver.empty())
            toReceiverOne();
        while (!toSender.empty())
            toSenderOne();
    }
    FUZZ_CHECK(toReceiver.empty() && toSender.empty());
    FUZZ_CHECK(delivered == sent.size());
    FUZZ_CHECK(sender.top->RetainedCount() == 0 && sender.flow->QueuedPackets() == 0);
    FUZZ_CHECK(receiver.budget->Used() == 0);
}

}  // namespace

std::vector<Seed> FuzzSeeds() {
    auto raw = [](std::initializer_list<Bytes> packets) {
        SeedWriter seed;
        seed.Byte(0);
        for (const Bytes& packet : packets)
            seed.Byte(0).Sized(packet, true).Byte(1);
        return seed.Get();
    };
    auto stream = [](auto write) {
        RefPtr<IDataStream> s;
        NewDataStream(s.Receive());
        write(s.Get());
        return RestOf(s.Get());
    };
    const Bytes hello = stream([](IDataStream* s) {
        WriteHello(s, {ConnectionId, SessionId, true});
    });
    auto sequenced = [&](std::uint64_t sequence, const Bytes& body) {
        return stream([&](IDataStream* s) {
            WriteSequencedDataHeader(s, sequence);
            WriteUserMessageHeader(s, Channel);
            s->WriteBytes(body.data(), static_cast<std::uint32_t>(body.size()));
        });
    };
    auto fragment = [&](bool last, const Bytes& body) {
        return stream([&](IDataStream* s) {
            WritePacedDataHeader(s, 1700000000000);
            WriteFragmentHeader(s, last);
            s->WriteBytes(body.data(), static_cast<std::uint32_t>(body.size()));
        });
    };
    const Bytes first = sequenced(1, {'a', 'b'});
    const Bytes ack = stream([](IDataStream* s) { WriteSequenceAck(s, 3); });
    const Bytes pacedAck = stream([](IDataStream* s) { WritePacedAck(s, {40, 4107}); });
    const Bytes half(first.begin(), first.begin() + 12);
    const Bytes rest(first.begin() + 12, first.end());

    // Schedules: send, deliver, cut, reconnect, in the orders that matter.
    auto schedule = [](std::initializer_list<std::uint8_t> ops) {
        SeedWriter seed;
        seed.Byte(1);
        for (std::uint8_t op : ops) {
            seed.Byte(op);
            if (op == 0) seed.Put<std::uint16_t>(5000);
            if (op == 1 || op == 2) seed.Byte(6);
        }
        return seed.Get();
    };
    return {
        {"hello", raw({hello})},
        {"in-order", raw({first, sequenced(2, {'c'})})},
        {"gap-and-duplicate", raw({sequenced(2, {'x'}), first, first})},
        {"acknowledgements", raw({ack, pacedAck})},
        {"fragments", raw({fragment(false, half), fragment(true, rest)})},
        {"truncated-headers",
         raw({{0x04, 1, 2}, {0x05, 1}, {0x06}, {0x02, 9}, {0x03, 1, 2}, {0x01}})},
        {"clean", schedule({0, 0, 1, 2, 1, 2})},
        {"cut-in-flight", schedule({0, 0, 1, 3, 4, 1, 2})},
        {"cut-before-ack", schedule({0, 1, 1, 3, 0, 4, 1, 2, 1, 2})},
        {"send-while-cut", schedule({3, 0, 0, 4, 1, 1, 2})},
        {"window-closed", schedule({5, 0, 0, 1, 3, 0, 4, 5, 1, 2, 1, 2})},
    };
}

void FuzzOne(FuzzInput& input) {
    if ((input.Byte() & 1) != 0) {
        Scheduled(input);
    } else {
        RawPackets(input);
    }
}

}  // namespace brondal::fuzz
