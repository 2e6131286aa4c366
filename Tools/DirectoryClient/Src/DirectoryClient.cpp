#include "DirectoryClient.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>

#include "IRefCountImpl.h"
#include "ReliableTransport.h"
#include "ScopedSocket.h"
#include "TableAssembler.h"
#include "TcpSocket.h"

namespace brondal::corvane::client {

// What the engines' delivery threads share with the client's waiting threads. Held by the
// stub and the listener too, which the engines may still be calling while the client goes.
struct DirectoryClient::State {
    std::mutex mutex;
    std::condition_variable changed;
    TableAssembler assembler;
    std::deque<std::vector<DisplayRecord>> tables;
    std::uint64_t batches = 0;
    bool badBatch = false;
    bool lost = false;
    UUID requestConnection;
    UUID callbackConnection;

    void Notify() {
        std::lock_guard lock(mutex);
        changed.notify_all();
    }
};

namespace {

using Clock = std::chrono::steady_clock;

// The client's end of the display-batch callback.
class BatchStub final : public IRpc::IStub, public IRefCountImpl {
public:
    explicit BatchStub(std::shared_ptr<DirectoryClient::State> state) : state_(std::move(state)) {}

    IRpc::ICallGuard* GetCallGuard() override { return nullptr; }
    Result GetObjectId(UUID* objectId) override {
        *objectId = DirectoryObjectId;
        return ResultOk;
    }
    Result ExecuteStub(IRpc*, UUID, const UUID&, std::int32_t method, IDataStream* arguments,
                       IDataStream*) override {
        if (method != DisplayBatchMethod) return ResultOk;
        DisplayBatch batch;
        const Result result = DecodeDisplayBatch(arguments, &batch);
        std::lock_guard lock(state_->mutex);
        ++state_->batches;
        if (Failed(result)) {
            state_->badBatch = true;
        } else if (state_->assembler.Add(std::move(batch))) {
            state_->tables.push_back(state_->assembler.Take());
        }
        state_->changed.notify_all();
        return result;
    }

private:
    std::shared_ptr<DirectoryClient::State> state_;
};

class LossListener final : public ITransport::ITransportNotify, public IRefCountImpl {
public:
    explicit LossListener(std::shared_ptr<DirectoryClient::State> state)
        : state_(std::move(state)) {}

    Result OnDataReady(UUID, UUID, IDataStream*) override { return ResultOk; }
    Result OnEvent(UUID connectionId, std::int32_t event) override {
        if (event != ITransport::ConnectionClosed) return ResultOk;
        std::lock_guard lock(state_->mutex);
        if (connectionId == state_->requestConnection ||
            connectionId == state_->callbackConnection) {
            state_->lost = true;
            state_->changed.notify_all();
        }
        return ResultOk;
    }

private:
    std::shared_ptr<DirectoryClient::State> state_;
};

std::string HexResult(Result result) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(result));
    return text;
}

// A peer that has not completed a TCP connect by then counts as not answering.
constexpr std::uint32_t ProbeTimeoutMs = 2000;

// Why a connection to address:port could not be opened, in words. The transport's result
// does not say, so a plain TCP connect of the client's own tries the same address once
// more (and closes at once): a service that takes it refused the transport's handshake.
std::string ConnectFailureWords(std::uint32_t address, std::uint16_t port) {
    platform::ScopedSocket probe(platform::TcpCreate());
    if (!probe.Valid()) return "connection failed";
    const int connected = platform::TcpConnect(probe.Get(), address, port, ProbeTimeoutMs);
    const int error = connected == 0 ? 0 : platform::LastSocketError();
    probe.Reset();
    if (error == 0) return "handshake failed";
    if (platform::IsConnectionRefused(error)) return "connection refused";
    if (platform::IsTimedOut(error)) return "timed out";
    if (platform::IsHostUnreachable(error)) return "host unreachable";
    if (platform::IsNetworkUnreachable(error)) return "network unreachable";
    return "connection failed (error " + std::to_string(error) + ")";
}

// "connection refused; result 0x80000000 (failure)".
std::string ConnectFailure(std::uint32_t address, std::uint16_t port, Result result) {
    return ConnectFailureWords(address, port) + "; result " + DescribeResult(result);
}

Result OpenTransport(bool reliable, RefPtr<ITransport>* transport, std::string* error) {
    Result result = CreateReliableTransport(0, 0, transport->Receive());
    // Delivered on the reading thread: the engine only parses replies and hands batches to
    // the caller, so a hop to a delivery thread would only add latency.
    if (Succeeded(result)) result = (*transport)->Initialize(false, true);
    if (Failed(result)) {
        *error = "cannot create a transport: " + DescribeResult(result);
        return result;
    }
    if (reliable) {
        result = (*transport)->EnableReliableDelivery();
        if (Failed(result)) {
            *error = "reliable delivery is not available: " + DescribeResult(result);
            return result;
        }
    }
    return ResultOk;
}

// Subscribes the wait to the stop flag for its duration.
class StopWake {
public:
    StopWake(StopFlag* stop, const std::shared_ptr<DirectoryClient::State>& state) : stop_(stop) {
        if (stop_) token_ = stop_->AddListener([state] { state->Notify(); });
    }
    ~StopWake() {
        if (stop_) stop_->RemoveListener(token_);
    }
    bool Stopped() const { return stop_ && stop_->IsSet(); }

private:
    StopFlag* stop_;
    int token_ = 0;
};

}  // namespace

std::string DescribeResult(Result result) {
    const char* meaning = nullptr;
    switch (result) {
        case ResultFail:
            meaning = "failure";
            break;
        case ResultNullPointer:
            meaning = "null pointer";
            break;
        case ResultInvalidArgument:
            meaning = "invalid argument or connection";
            break;
        case ResultRpcTimeout:
            meaning = "no answer in time";
            break;
        case ResultNotInitialized:
            meaning = "not initialised";
            break;
        case ResultAlreadyInitialized:
            meaning = "already initialised";
            break;
        case ResultNotImplemented:
            meaning = "not implemented";
            break;
        case ResultVersionMismatch:
            meaning = "protocol version mismatch";
            break;
        case ResultConnectionNotFound:
            meaning = "connection not found";
            break;
        case ResultWriteTimeout:
            meaning = "timed out waiting to write";
            break;
        case ResultUnregisteredObject:
            meaning = "no directory object at that port";
            break;
        case ResultSocketWriteFailed:
            meaning = "socket write failed";
            break;
        default:
            break;
    }
    return meaning ? HexResult(result) + " (" + meaning + ")" : HexResult(result);
}

bool DirectoryClient::IsConnectionFailure(Result result) {
    return result == ResultConnectionNotFound || result == ResultSocketWriteFailed ||
           result == ResultWriteTimeout || result == ResultRpcTimeout ||
           result == ResultInvalidArgument;
}

DirectoryClient::DirectoryClient() : state_(std::make_shared<State>()) {}

Result DirectoryClient::Connect(const ConnectSettings& settings,
                                std::unique_ptr<DirectoryClient>* client, std::string* error) {
    std::unique_ptr<DirectoryClient> opened(new DirectoryClient());
    const Result result = opened->Open(settings, error);
    if (Succeeded(result)) *client = std::move(opened);
    return result;
}

Result DirectoryClient::Open(const ConnectSettings& settings, std::string* error) {
    const std::string service = settings.host + ":" + std::to_string(settings.port);
    lossListener_ = RefPtr<ITransport::ITransportNotify>::Adopt(new LossListener(state_));

    Result result = OpenTransport(settings.reliable, &transport_, error);
    if (Failed(result)) return result;
    (void)transport_->AddNotify(lossListener_.Get());
    std::uint32_t address = 0;
    result = transport_->GetHostByName(settings.host, &address);
    if (Failed(result) || address == 0) {
        *error = "cannot resolve host '" + settings.host + "'";
        return Failed(result) ? result : ResultFail;
    }
    result = CreateRpc(rpc_.Receive());
    if (Succeeded(result)) result = rpc_->Initialize(transport_.Get(), 0);
    if (Failed(result)) {
        *error = "cannot create the RPC engine: " + DescribeResult(result);
        return result;
    }
    UUID requestConnection;
    result = transport_->OpenConnection(address, settings.port, &requestConnection,
                                        settings.connectTimeoutMs);
    if (Failed(result)) {
        *error = "cannot reach the directory service at " + service + ": " +
                 ConnectFailure(address, settings.port, result);
        return result;
    }
    {
        std::lock_guard lock(state_->mutex);
        state_->requestConnection = requestConnection;
    }
    requestConnection_ = requestConnection;
    if (settings.keepAliveIntervalMs != 0) {
        (void)transport_->SetKeepAlive(requestConnection_, settings.keepAliveIntervalMs,
                                       KeepAliveTimeoutMs);
    }
    if (!settings.callbacks) return ResultOk;

    const std::uint16_t callbackPort = static_cast<std::uint16_t>(settings.port + 1);
    result = OpenTransport(settings.reliable, &callbackTransport_, error);
    if (Failed(result)) return result;
    (void)callbackTransport_->AddNotify(lossListener_.Get());
    result = CreateRpc(callbackRpc_.Receive());
    if (Succeeded(result)) result = callbackRpc_->Initialize(callbackTransport_.Get(), 0);
    if (Succeeded(result)) {
        const auto stub = RefPtr<IRpc::IStub>::Adopt(new BatchStub(state_));
        result = callbackRpc_->AddStub(DirectoryObjectId, stub.Get());
    }
    if (Failed(result)) {
        *error = "cannot create the callback engine: " + DescribeResult(result);
        return result;
    }
    UUID callbackConnection;
    result = callbackTransport_->OpenConnection(address, callbackPort, &callbackConnection,
                                                settings.connectTimeoutMs);
    if (Failed(result)) {
        *error = "cannot reach the directory service's callback port at " + settings.host + ":" +
                 std::to_string(callbackPort) + ": " +
                 ConnectFailure(address, callbackPort, result);
        return result;
    }
    {
        std::lock_guard lock(state_->mutex);
        state_->callbackConnection = callbackConnection;
    }
    callbackConnection_ = callbackConnection;
    if (settings.keepAliveIntervalMs != 0) {
        (void)callbackTransport_->SetKeepAlive(callbackConnection_, settings.keepAliveIntervalMs,
                                               KeepAliveTimeoutMs);
    }

    RefPtr<IDataStream> arguments, reply;
    result = NewDataStream(arguments.Receive());
    if (Succeeded(result)) result = NewDataStream(reply.Receive());
    if (Succeeded(result)) result = EncodeSubscription(callbackConnection_, arguments.Get());
    if (Succeeded(result)) result = Call(MethodAddNotify, arguments.Get(), reply.Get());
    if (Failed(result)) {
        *error = "the directory service at " + service +
                 " refused the subscription: " + DescribeResult(result);
    }
    return result;
}

DirectoryClient::~DirectoryClient() {
    // Engines first, so that nothing is delivered into a transport that is going away.
    if (callbackRpc_) {
        (void)callbackRpc_->RemoveStub(DirectoryObjectId);
        (void)callbackRpc_->Finalize();
    }
    if (rpc_) (void)rpc_->Finalize();
    for (ITransport* transport : {callbackTransport_.Get(), transport_.Get()}) {
        if (transport == nullptr) continue;
        (void)transport->RemoveNotify(lossListener_.Get());
        (void)transport->Finalize();
    }
}

Result DirectoryClient::Call(std::int32_t method, IDataStream* arguments, IDataStream* reply) {
    // Once either connection is gone the client is done; a request written into a socket
    // that is closing would only wait out the engine's time-out.
    if (IsLost()) return ResultConnectionNotFound;
    return rpc_->Execute(requestConnection_, DirectoryObjectId, method, arguments, reply,
                         CallTimeoutMs);
}

Result DirectoryClient::UpdateDisplay(const DisplayUpdate& update) {
    RefPtr<IDataStream> arguments, reply;
    Result result = NewDataStream(arguments.Receive());
    if (Succeeded(result)) result = NewDataStream(reply.Receive());
    if (Succeeded(result)) result = EncodeDisplayUpdate(update, arguments.Get());
    if (Succeeded(result)) result = Call(MethodUpdateDisplay, arguments.Get(), reply.Get());
    return result;
}

Result DirectoryClient::RequestTable(bool extended, std::uint64_t knownVersion,
                                     std::uint64_t* version) {
    RefPtr<IDataStream> arguments, reply;
    Result result = NewDataStream(arguments.Receive());
    if (Succeeded(result)) result = NewDataStream(reply.Receive());
    if (Succeeded(result))
        result = EncodeEnumerationRequest(extended, knownVersion, arguments.Get());
    if (Succeeded(result)) result = Call(MethodRequestEnumeration, arguments.Get(), reply.Get());
    if (Succeeded(result)) result = DecodeEnumerationReply(reply.Get(), version);
    return result;
}

DirectoryClient::WaitOutcome DirectoryClient::WaitForTable(std::uint32_t idleTimeoutMs,
                                                           StopFlag* stop,
                                                           std::vector<DisplayRecord>* table) {
    const StopWake wake(stop, state_);
    std::unique_lock lock(state_->mutex);
    while (true) {
        if (!state_->tables.empty()) {
            *table = std::move(state_->tables.front());
            state_->tables.pop_front();
            return WaitOutcome::Table;
        }
        if (state_->badBatch) return WaitOutcome::BadBatch;
        if (state_->lost) return WaitOutcome::Lost;
        if (wake.Stopped()) return WaitOutcome::Stopped;
        const std::uint64_t batches = state_->batches;
        const bool progressed =
            state_->changed.wait_for(lock, std::chrono::milliseconds(idleTimeoutMs), [&] {
                return state_->batches != batches || !state_->tables.empty() || state_->lost ||
                       wake.Stopped();
            });
        if (!progressed) return WaitOutcome::TimedOut;
    }
}

bool DirectoryClient::WaitForLoss(std::uint32_t timeoutMs, StopFlag* stop) {
    const StopWake wake(stop, state_);
    std::unique_lock lock(state_->mutex);
    state_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return state_->lost || wake.Stopped(); });
    return state_->lost;
}

bool DirectoryClient::IsLost() {
    std::lock_guard lock(state_->mutex);
    return state_->lost;
}

}  // namespace brondal::corvane::client
