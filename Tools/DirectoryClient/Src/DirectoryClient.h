#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "DirectoryProtocol.h"
#include "IRpc.h"
#include "ITransport.h"
#include "RefPtr.h"
#include "StopFlag.h"

namespace brondal::corvane::client {

struct ConnectSettings {
    std::string host = "127.0.0.1";
    // The request port; the callback connection goes to the next one.
    std::uint16_t port = 53200;
    bool reliable = false;
    // Open the callback connection and subscribe with it (needed to receive the table).
    bool callbacks = false;
    // Non-zero: keep both connections alive with transport pings this often. The service
    // purges connections that stay silent for 300000 ms unless they use keep-alive.
    std::uint32_t keepAliveIntervalMs = 0;
    std::uint32_t connectTimeoutMs = 5000;
};

// Keep-alive settings of the long-lived commands: a peer silent for KeepAliveTimeoutMs is
// taken as gone.
inline constexpr std::uint32_t KeepAliveIntervalMs = 5000;
inline constexpr std::uint32_t KeepAliveTimeoutMs = 30000;

// Time-out of every request; the engine raises anything shorter to this anyway.
inline constexpr std::uint32_t CallTimeoutMs = 20000;

// "0x80000039 (connection not found)".
std::string DescribeResult(Result result);

// One client of the directory service over the project's transport and RPC engine: a
// request connection and, with callbacks, a callback connection whose engine answers the
// display batches under DirectoryObjectId. Requests may be made from several threads at
// once. Destruction closes both connections and releases every thread they used.
class DirectoryClient {
public:
    // On failure *error is one line saying what went wrong.
    [[nodiscard]] static Result Connect(const ConnectSettings& settings,
                                        std::unique_ptr<DirectoryClient>* client,
                                        std::string* error);
    ~DirectoryClient();

    DirectoryClient(const DirectoryClient&) = delete;
    DirectoryClient& operator=(const DirectoryClient&) = delete;

    [[nodiscard]] Result UpdateDisplay(const DisplayUpdate& update);
    // Asks for the table unless knownVersion (non-zero) is current; *version receives the
    // service's version. The table itself arrives on the callback connection: WaitForTable.
    [[nodiscard]] Result RequestTable(bool extended, std::uint64_t knownVersion,
                                      std::uint64_t* version);

    enum class WaitOutcome { Table, TimedOut, Stopped, Lost, BadBatch };
    // Waits for the next complete table, giving up when no batch arrived for idleTimeoutMs.
    WaitOutcome WaitForTable(std::uint32_t idleTimeoutMs, StopFlag* stop,
                             std::vector<DisplayRecord>* table);
    // Waits up to timeoutMs; true when a connection was lost (false: time up or stopped).
    bool WaitForLoss(std::uint32_t timeoutMs, StopFlag* stop);
    bool IsLost();

    // A request that failed this way means the connection is gone, not that the service
    // refused: reconnecting may help.
    static bool IsConnectionFailure(Result result);

    struct State;

private:
    DirectoryClient();
    [[nodiscard]] Result Open(const ConnectSettings& settings, std::string* error);
    [[nodiscard]] Result Call(std::int32_t method, IDataStream* arguments, IDataStream* reply);

    std::shared_ptr<State> state_;
    RefPtr<ITransport> transport_;
    RefPtr<IRpc> rpc_;
    RefPtr<ITransport> callbackTransport_;
    RefPtr<IRpc> callbackRpc_;
    RefPtr<ITransport::ITransportNotify> lossListener_;
    UUID requestConnection_;
    UUID callbackConnection_;
};

}  // namespace brondal::corvane::client
