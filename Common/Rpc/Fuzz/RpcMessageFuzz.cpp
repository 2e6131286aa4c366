// The RPC engine's message decoding, through OnDataReady on an in-memory transport.
//
// Mode 0 (and 2, under a foreign channel): the remaining bytes arrive as one message at the
// serving engine, which has one stub. Whatever they are, the stub is called exactly when
// they hold a whole request for its object, with the argument bytes as sent, and exactly a
// request that expects one is answered: with the stub's result and reply, or with the
// unregistered-object failure, and never with a partial reply after a failure.
//
// Mode 1 (and 3, one-way): a call goes out from the calling engine and the fuzzer's bytes
// answer it. The caller gets the result and reply bytes as the response layout places them,
// nothing for a reply longer than the message, and a repeated response changes nothing.
//
// Input after the mode: method (2 bytes), arguments (sized), a piece length for splitting
// the message into chunks, then the message (mode 0) or the response after its call id.
#include <mutex>

#include "FuzzStreams.h"
#include "FuzzSupport.h"
#include "IRefCountImpl.h"
#include "IRpc.h"
#include "InMemoryTransport.h"
#include "RpcMessages.h"
#include "UuidStream.h"

namespace brondal::fuzz {
namespace {

constexpr UUID ObjectId(0x0b1ec7, 0x1, 0x2, 0x0303030303030303);
constexpr UUID ForeignChannel(0xf0, 0x1, 0x2, 0x3);

struct Call {
    UUID connection;
    UUID object;
    std::int32_t method;
    Bytes arguments;
};

// Replies with its arguments reversed; fails (after writing the reply) when the first
// argument byte is odd, otherwise returns the argument count.
class Probe final : public IRpc::IStub, public IRefCountImpl {
public:
    std::vector<Call> calls;

    IRpc::ICallGuard* GetCallGuard() override { return nullptr; }
    Result GetObjectId(UUID* id) override {
        *id = ObjectId;
        return ResultOk;
    }
    Result ExecuteStub(IRpc*, UUID connection, const UUID& object, std::int32_t method,
                       IDataStream* arguments, IDataStream* reply) override {
        Call call{connection, object, method, RestOf(arguments)};
        const Bytes reversed(call.arguments.rbegin(), call.arguments.rend());
        reply->WriteBytes(reversed.data(), static_cast<std::uint32_t>(reversed.size()));
        const Result result = !reversed.empty() && (call.arguments[0] & 1) != 0
                                  ? ResultInvalidArgument
                                  : static_cast<Result>(call.arguments.size());
        calls.push_back(std::move(call));
        return result;
    }
};

struct Written {
    UUID connection;
    UUID channel;
    Bytes bytes;
};

// Two engines, each on its own in-memory connection to a peer that listens to nothing, so
// that nothing reaches an engine but what the harness hands it.
struct Link {
    RefPtr<testing::InMemoryTransport> serverSide = testing::InMemoryTransport::Create();
    RefPtr<testing::InMemoryTransport> serverPeer = testing::InMemoryTransport::Create();
    RefPtr<testing::InMemoryTransport> clientSide = testing::InMemoryTransport::Create();
    RefPtr<testing::InMemoryTransport> clientPeer = testing::InMemoryTransport::Create();
    UUID serverConnection = testing::InMemoryTransport::Connect(serverSide.Get(), serverPeer.Get());
    UUID clientConnection = testing::InMemoryTransport::Connect(clientSide.Get(), clientPeer.Get());
    RefPtr<IRpc> server;
    RefPtr<IRpc> client;
    // The engines as their transports' listeners, which is where messages enter.
    ITransport::ITransportNotify* serverInput = nullptr;
    ITransport::ITransportNotify* clientInput = nullptr;
    RefPtr<Probe> probe = RefPtr<Probe>::Adopt(new Probe());
    std::vector<Written> serverWrites;
    // Answers each request the client writes, on the writing thread.
    std::function<void(const Written&)> onClientWrite;

    Link() {
        CreateRpc(server.Receive());
        CreateRpc(client.Receive());
        server->Initialize(serverSide.Get(), 0);
        client->Initialize(clientSide.Get(), 0);
        server->AddStub(ObjectId, probe.Get());
        serverInput = dynamic_cast<ITransport::ITransportNotify*>(server.Get());
        clientInput = dynamic_cast<ITransport::ITransportNotify*>(client.Get());
        serverSide->SetWriteObserver([this](UUID id, UUID channel, const Bytes& bytes) {
            serverWrites.push_back({id, channel, bytes});
        });
        clientSide->SetWriteObserver([this](UUID id, UUID channel, const Bytes& bytes) {
            if (onClientWrite) onClientWrite({id, channel, bytes});
        });
    }
};

Link& TheLink() {
    // Never destroyed: the transports' delivery threads live as long as the process.
    static Link* const link = new Link();
    return *link;
}

Bytes Serial(const UUID& id) {
    RefPtr<IDataStream> stream;
    NewDataStream(stream.Receive());
    SerializeUuid(stream.Get(), id);
    return RestOf(stream.Get());
}

std::uint32_t Le32(const Bytes& bytes, std::size_t at) {
    return std::uint32_t{bytes[at]} | (std::uint32_t{bytes[at + 1]} << 8) |
           (std::uint32_t{bytes[at + 2]} << 16) | (std::uint32_t{bytes[at + 3]} << 24);
}

void Append(Bytes& to, const Bytes& bytes) { to.insert(to.end(), bytes.begin(), bytes.end()); }

void CheckServing(const Bytes& message, std::size_t piece, const UUID& channel) {
    Link& link = TheLink();
    link.serverWrites.clear();
    link.probe->calls.clear();
    const Result result = link.serverInput->OnDataReady(link.serverConnection, channel,
                                                        StreamOf(message, piece).Get());

    const bool rpc = channel == RpcChannelId && !message.empty();
    const bool request = rpc && message[0] <= rpc::KindOneWayRequest;
    const bool whole = request && message.size() >= 35;
    const Bytes object(message.begin() + (whole ? 1 : 0), message.begin() + (whole ? 17 : 0));
    const bool ours = whole && object == Serial(ObjectId);
    FUZZ_CHECK(
        result ==
        ((request && !whole) || (rpc && message[0] == rpc::KindResponse) ? ResultFail : ResultOk));
    FUZZ_CHECK(link.probe->calls.size() == (ours ? 1u : 0u));
    if (!whole) {
        FUZZ_CHECK(link.serverWrites.empty());
        return;
    }
    const std::int32_t method = message[17] | (message[18] << 8);
    const Bytes callId(message.begin() + 19, message.begin() + 35);
    const Bytes arguments(message.begin() + 35, message.end());
    Result answer = ResultUnregisteredObject;
    Bytes reply;
    if (ours) {
        const Call& call = link.probe->calls[0];
        FUZZ_CHECK(call.connection == link.serverConnection && call.object == ObjectId &&
                   call.method == method && call.arguments == arguments);
        answer = !arguments.empty() && (arguments[0] & 1) != 0
                     ? ResultInvalidArgument
                     : static_cast<Result>(arguments.size());
        if (Succeeded(answer)) reply.assign(arguments.rbegin(), arguments.rend());
    }
    if (message[0] == rpc::KindOneWayRequest) {
        FUZZ_CHECK(link.serverWrites.empty());
        return;
    }
    Bytes expected{rpc::KindResponse};
    Append(expected, callId);
    const Bytes numbers{static_cast<std::uint8_t>(answer),
                        static_cast<std::uint8_t>(answer >> 8),
                        static_cast<std::uint8_t>(answer >> 16),
                        static_cast<std::uint8_t>(answer >> 24),
                        static_cast<std::uint8_t>(reply.size()),
                        static_cast<std::uint8_t>(reply.size() >> 8),
                        static_cast<std::uint8_t>(reply.size() >> 16),
                        static_cast<std::uint8_t>(reply.size() >> 24)};
    Append(expected, numbers);
    Append(expected, reply);
    FUZZ_CHECK(link.serverWrites.size() == 1);
    const Written& written = link.serverWrites[0];
    FUZZ_CHECK(written.connection == link.serverConnection && written.channel == RpcChannelId &&
               written.bytes == expected);
}

void CheckCalling(std::int32_t method, const Bytes& arguments, std::size_t piece, const Bytes& tail,
                  bool oneWay) {
    Link& link = TheLink();
    RefPtr<IDataStream> response;
    std::size_t requests = 0;
    link.onClientWrite = [&](const Written& written) {
        ++requests;
        // The request as laid out on the wire, with a fresh call identifier.
        const Bytes& bytes = written.bytes;
        FUZZ_CHECK(written.connection == link.clientConnection && written.channel == RpcChannelId);
        FUZZ_CHECK(bytes.size() == 35 + arguments.size());
        FUZZ_CHECK(bytes[0] == (oneWay ? rpc::KindOneWayRequest : rpc::KindRequest));
        FUZZ_CHECK(Bytes(bytes.begin() + 1, bytes.begin() + 17) == Serial(ObjectId));
        FUZZ_CHECK((bytes[17] | (bytes[18] << 8)) == (method & 0xffff));
        FUZZ_CHECK(Bytes(bytes.begin() + 35, bytes.end()) == arguments);
        if (oneWay) return;
        Bytes message{rpc::KindResponse};
        message.insert(message.end(), bytes.begin() + 19, bytes.begin() + 35);
        Append(message, tail);
        response = StreamOf(message, piece);
        FUZZ_CHECK(link.clientInput->OnDataReady(link.clientConnection, RpcChannelId,
                                                 StreamOf(message, piece).Get()) == ResultOk);
    };
    RefPtr<IDataStream> reply = StreamOf({});
    const Result result =
        link.client->Execute(link.clientConnection, ObjectId, method, StreamOf(arguments).Get(),
                             reply.Get(), oneWay ? 0 : IRpc::MinimumTimeoutMs);
    link.onClientWrite = nullptr;
    FUZZ_CHECK(requests == 1);
    if (oneWay) {
        FUZZ_CHECK(result == ResultOk && RestOf(reply.Get()).empty());
        return;
    }
    const Result expected = tail.size() >= 4 ? static_cast<Result>(Le32(tail, 0)) : ResultOk;
    Bytes expectedReply;
    if (tail.size() >= 8 && Le32(tail, 4) <= tail.size() - 8) {
        expectedReply.assign(tail.begin() + 8, tail.begin() + 8 + Le32(tail, 4));
    }
    FUZZ_CHECK(result == expected);
    // A late copy of the response finds no call and changes nothing.
    FUZZ_CHECK(link.clientInput->OnDataReady(link.clientConnection, RpcChannelId, response.Get()) ==
               ResultFail);
    FUZZ_CHECK(RestOf(reply.Get()) == expectedReply);
}

}  // namespace

std::vector<Seed> FuzzSeeds() {
    auto request = [](std::uint8_t kind, const UUID& object, std::uint16_t method,
                      const Bytes& arguments) {
        RefPtr<IDataStream> stream;
        NewDataStream(stream.Receive());
        rpc::WriteRequestHeader(stream.Get(), static_cast<rpc::MessageKind>(kind),
                                {object, method, UUID(0xca11, 0x1, 0x2, 0x3)});
        Bytes bytes = RestOf(stream.Get());
        Append(bytes, arguments);
        return bytes;
    };
    auto serving = [](std::uint8_t mode, const Bytes& message, std::uint8_t piece = 0) {
        return SeedWriter()
            .Byte(mode)
            .Put<std::uint16_t>(0)
            .Byte(0)
            .Byte(piece)
            .Append(message)
            .Get();
    };
    auto calling = [](std::uint8_t mode, const Bytes& arguments, const Bytes& tail) {
        return SeedWriter()
            .Byte(mode)
            .Put<std::uint16_t>(4)
            .Sized(arguments)
            .Byte(3)
            .Append(tail)
            .Get();
    };
    auto response = [](Result result, const Bytes& reply, std::uint32_t length) {
        return SeedWriter().Put<std::int32_t>(result).Put(length).Append(reply).Get();
    };
    const Bytes args{2, 'a', 'b', 'c'};
    const Bytes full = request(rpc::KindRequest, ObjectId, 7, args);
    return {
        {"request", serving(0, full)},
        {"request-in-pieces", serving(0, full, 3)},
        {"request-failing", serving(0, request(rpc::KindRequest, ObjectId, 1, {1, 9}))},
        {"one-way", serving(0, request(rpc::KindOneWayRequest, ObjectId, 2, args))},
        {"unregistered", serving(0, request(rpc::KindRequest, UUID(1, 2, 3, 4), 0, {}))},
        {"header-cut", serving(0, Bytes(full.begin(), full.begin() + 34))},
        {"unknown-kind", serving(0, {9, 1, 2})},
        {"stray-response", serving(0, {2, 1, 2, 3})},
        {"foreign-channel", serving(2, full)},
        {"answer", calling(1, args, response(0, {'o', 'k'}, 2))},
        {"answer-failure", calling(1, {}, response(ResultNotInitialized, {1, 2, 3}, 3))},
        {"answer-too-long", calling(1, args, response(5, {1}, 1000))},
        {"answer-cut", calling(1, args, {0x01, 0x02})},
        {"one-way-call", calling(3, args, {})},
    };
}

void FuzzOne(FuzzInput& input) {
    const std::uint8_t mode = input.Byte();
    const auto method = input.Take<std::uint16_t>();
    const Bytes arguments = input.Sized();
    const std::size_t piece = input.Byte() % 40;
    if ((mode & 1) == 0) {
        CheckServing(input.Rest(), piece, (mode & 2) != 0 ? ForeignChannel : RpcChannelId);
    } else {
        CheckCalling(method, arguments, piece, input.Rest(), (mode & 2) != 0);
    }
}

}  // namespace brondal::fuzz
