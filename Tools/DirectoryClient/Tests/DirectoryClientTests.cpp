// The client over real loopback connections against the real registry: subscription,
// tables in batches, version checks, failures, lost connections, and the commands on top.
#include <gtest/gtest.h>

#include <sstream>
#include <thread>

#include "Commands.h"
#include "DirectoryClient.h"
#include "DirectoryTestSupport.h"
#include "TcpSocket.h"
#include "WaitFor.h"

namespace brondal::corvane::client {
namespace {

using brondal::testing::FindFreePortPair;
using brondal::testing::Loopback;
using brondal::testing::PollUntil;
using brondal::testing::StartRegistry;
using server::CorvaneDirectoryService;

// A service that answers every request with one failure: the registry refuses only
// requests cut short, which the client never sends.
class RefusingService {
public:
    explicit RefusingService(Result answer) {
        for (int attempt = 0; attempt < 20 && !transport_; ++attempt) {
            port_ = FindFreePortPair();
            if (Failed(CreateReliableTransport(Loopback, port_, transport_.Receive())) ||
                Failed(transport_->Initialize(true, true))) {
                transport_.Reset();
            }
        }
        if (!transport_) return;
        CreateRpc(rpc_.Receive());
        rpc_->Initialize(transport_.Get(), 0);
        stub_ = RefPtr<Stub>::Adopt(new Stub(answer));
        rpc_->AddStub(DirectoryObjectId, stub_.Get());
    }
    ~RefusingService() {
        if (!transport_) return;
        rpc_->Finalize();
        transport_->Finalize();
    }

    bool Ok() const { return static_cast<bool>(transport_); }
    std::uint16_t Port() const { return port_; }

private:
    class Stub final : public IRpc::IStub, public IRefCountImpl {
    public:
        explicit Stub(Result answer) : answer_(answer) {}
        IRpc::ICallGuard* GetCallGuard() override { return nullptr; }
        Result GetObjectId(UUID* id) override {
            *id = DirectoryObjectId;
            return ResultOk;
        }
        Result ExecuteStub(IRpc*, UUID, const UUID&, std::int32_t, IDataStream*,
                           IDataStream*) override {
            return answer_;
        }

    private:
        const Result answer_;
    };

    std::uint16_t port_ = 0;
    RefPtr<ITransport> transport_;
    RefPtr<IRpc> rpc_;
    RefPtr<Stub> stub_;
};

ConnectSettings Settings(std::uint16_t port, bool callbacks, bool reliable = false) {
    ConnectSettings settings;
    settings.port = port;
    settings.callbacks = callbacks;
    settings.reliable = reliable;
    return settings;
}

std::unique_ptr<DirectoryClient> ConnectTo(const ConnectSettings& settings) {
    std::unique_ptr<DirectoryClient> client;
    std::string error;
    EXPECT_EQ(DirectoryClient::Connect(settings, &client, &error), ResultOk) << error;
    return client;
}

DisplayUpdate Display(std::uint32_t n) {
    DisplayUpdate update;
    update.displayId = UUID(0x10000000 + n, 0, 0, n);
    update.displayName = "name " + std::to_string(n);
    update.secondaryName = "secondary " + std::to_string(n);
    update.address = 0x0a000000 + n;
    update.port = static_cast<std::uint16_t>(n);
    update.tag = n * 3;
    update.extra = "extra " + std::to_string(n);
    return update;
}

class DirectoryClientTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { ASSERT_TRUE(registry_); }
    bool Reliable() const { return GetParam(); }
    std::uint16_t Port() const { return registry_->GetPort(); }
    RefPtr<CorvaneDirectoryService> registry_ = StartRegistry();
    StopFlag stop_;
};

TEST_P(DirectoryClientTest, TableOf2500ArrivesWholeInIdentifierOrder) {
    auto client = ConnectTo(Settings(Port(), true, Reliable()));
    ASSERT_TRUE(client);
    std::vector<DisplayUpdate> displays;
    for (std::uint32_t n = 2500; n >= 1; --n)
        displays.push_back(Display(n));
    ASSERT_EQ(RegisterAll(*client, displays, 4), ResultOk);
    ASSERT_EQ(registry_->GetDisplayCount(), 2500u);

    std::uint64_t version = 0;
    ASSERT_EQ(client->RequestTable(true, 0, &version), ResultOk);
    EXPECT_EQ(version, registry_->GetDirectoryVersion());
    std::vector<DisplayRecord> table;
    ASSERT_EQ(client->WaitForTable(10000, &stop_, &table), DirectoryClient::WaitOutcome::Table);
    ASSERT_EQ(table.size(), 2500u);
    for (std::size_t i = 1; i < table.size(); ++i)
        ASSERT_LT(table[i - 1].displayId.ToString(), table[i].displayId.ToString());
    const DisplayRecord& first = table.front();
    const DisplayUpdate expected = Display(first.displayId.Data1 - 0x10000000);
    EXPECT_EQ(first.displayName, expected.displayName);
    EXPECT_EQ(first.secondaryName, expected.secondaryName);
    EXPECT_EQ(first.address, expected.address);
    EXPECT_EQ(first.port, expected.port);
    EXPECT_EQ(first.tag, *expected.tag);
    EXPECT_EQ(first.extra, *expected.extra);
}

TEST_P(DirectoryClientTest, CurrentVersionBringsNoTableAndAChangeDoes) {
    auto client = ConnectTo(Settings(Port(), true, Reliable()));
    ASSERT_TRUE(client);
    ASSERT_EQ(client->UpdateDisplay(Display(1)), ResultOk);
    std::uint64_t version = 0;
    std::vector<DisplayRecord> table;
    ASSERT_EQ(client->RequestTable(false, 0, &version), ResultOk);
    ASSERT_EQ(client->WaitForTable(10000, &stop_, &table), DirectoryClient::WaitOutcome::Table);
    EXPECT_EQ(table.size(), 1u);

    std::uint64_t again = 0;
    ASSERT_EQ(client->RequestTable(false, version, &again), ResultOk);
    EXPECT_EQ(again, version);
    EXPECT_EQ(registry_->GetCounters().enumerationCount, 1u);

    ASSERT_EQ(client->UpdateDisplay(Display(2)), ResultOk);
    ASSERT_EQ(client->RequestTable(false, version, &again), ResultOk);
    EXPECT_NE(again, version);
    ASSERT_EQ(client->WaitForTable(10000, &stop_, &table), DirectoryClient::WaitOutcome::Table);
    EXPECT_EQ(table.size(), 2u);
}

TEST_P(DirectoryClientTest, ServiceFailureComesBackAsItsResult) {
    RefusingService refusing(ResultNotInitialized);
    ASSERT_TRUE(refusing.Ok());
    auto client = ConnectTo(Settings(refusing.Port(), false, Reliable()));
    ASSERT_TRUE(client);
    const Result result = client->UpdateDisplay(Display(1));
    EXPECT_EQ(result, ResultNotInitialized);
    EXPECT_FALSE(DirectoryClient::IsConnectionFailure(result));
    // Without a subscription the table request is refused.
    auto unsubscribed = ConnectTo(Settings(Port(), false, Reliable()));
    ASSERT_TRUE(unsubscribed);
    std::uint64_t version = 0;
    EXPECT_EQ(unsubscribed->RequestTable(false, 0, &version), ResultFail);
}

TEST_P(DirectoryClientTest, StoppedServiceIsNoticedAndCallsFailAsConnectionFailures) {
    auto client = ConnectTo(Settings(Port(), true, Reliable()));
    ASSERT_TRUE(client);
    registry_.Reset();
    EXPECT_TRUE(client->WaitForLoss(15000, &stop_));
    // Without a connection a call fails at once rather than after the engine's time-out.
    const auto start = std::chrono::steady_clock::now();
    const Result result = client->UpdateDisplay(Display(1));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_TRUE(Failed(result));
    EXPECT_TRUE(DirectoryClient::IsConnectionFailure(result)) << DescribeResult(result);
    std::vector<DisplayRecord> table;
    EXPECT_EQ(client->WaitForTable(10000, &stop_, &table), DirectoryClient::WaitOutcome::Lost);
}

INSTANTIATE_TEST_SUITE_P(PlainAndLayered, DirectoryClientTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Layered" : "Plain"; });

// What is at the port: nothing (the service is gone), or something that takes the
// connection and closes it without the transport's handshake.
class DirectoryClientConnect : public ::testing::TestWithParam<bool> {};

TEST_P(DirectoryClientConnect, UnreachableServiceGivesOneLineNamingItAndWhatWentWrong) {
    const bool somethingElseListens = GetParam();
    const std::uint16_t port = FindFreePortPair();
    const int listener = platform::TcpCreate();
    std::thread closer;
    if (somethingElseListens) {
        ASSERT_EQ(platform::TcpBind(listener, Loopback, port), 0);
        ASSERT_EQ(platform::TcpListen(listener), 0);
        closer = std::thread([listener] { platform::TcpClose(platform::TcpAccept(listener)); });
    }
    std::unique_ptr<DirectoryClient> client;
    std::string error;
    EXPECT_TRUE(Failed(DirectoryClient::Connect(Settings(port, true), &client, &error)));
    if (closer.joinable()) closer.join();
    platform::TcpClose(listener);
    EXPECT_FALSE(client);
    EXPECT_NE(error.find("cannot reach the directory service at 127.0.0.1:" + std::to_string(port) +
                         (somethingElseListens ? ": handshake failed; result 0x"
                                               : ": connection refused; result 0x")),
              std::string::npos)
        << error;
    EXPECT_EQ(error.find('\n'), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(RefusedAndHandshake, DirectoryClientConnect, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "NoHandshake" : "Nothing"; });

TEST(DirectoryClientWait, StopEndsAWaitForATableThatDoesNotCome) {
    const auto registry = StartRegistry();
    ASSERT_TRUE(registry);
    auto client = ConnectTo(Settings(registry->GetPort(), true));
    ASSERT_TRUE(client);
    StopFlag stop;
    std::thread stopper([&] { stop.Request(); });
    std::vector<DisplayRecord> table;
    // Without the stop this wait would last the full minute.
    EXPECT_EQ(client->WaitForTable(60000, &stop, &table), DirectoryClient::WaitOutcome::Stopped);
    stopper.join();
}

Options CommandOptions(std::uint16_t port, Command command) {
    Options options;
    options.command = command;
    options.servicePort = port;
    return options;
}

TEST(Commands, RegisterThenListAsTableAndJson) {
    const auto registry = StartRegistry();
    ASSERT_TRUE(registry);
    StopFlag stop;
    Options options = CommandOptions(registry->GetPort(), Command::Register);
    options.display = Display(7);
    options.display.displayName = "Quote \" here";
    std::ostringstream out, err;
    ASSERT_EQ(RunCommand(options, stop, out, err), ExitOk) << err.str();
    EXPECT_NE(out.str().find("registered " + Display(7).displayId.ToString()), std::string::npos);

    Options list = CommandOptions(registry->GetPort(), Command::List);
    list.extended = true;
    std::ostringstream table;
    ASSERT_EQ(RunCommand(list, stop, table, err), ExitOk) << err.str();
    EXPECT_NE(table.str().find("Quote \" here  secondary 7     10.0.0.7"), std::string::npos)
        << table.str();
    EXPECT_NE(table.str().find("1 display(s), version " +
                               std::to_string(registry->GetDirectoryVersion()) + "\n"),
              std::string::npos)
        << table.str();

    list.json = true;
    std::ostringstream json;
    ASSERT_EQ(RunCommand(list, stop, json, err), ExitOk) << err.str();
    EXPECT_NE(json.str().find("\"name\":\"Quote \\\" here\",\"secondaryName\":\"secondary 7\""),
              std::string::npos)
        << json.str();
    EXPECT_TRUE(err.str().empty()) << err.str();
}

TEST(Commands, FailureAnswerIsOneLineOnErrAndExitCodeOne) {
    RefusingService service(ResultFail);
    ASSERT_TRUE(service.Ok());
    StopFlag stop;
    Options options = CommandOptions(service.Port(), Command::Register);
    options.display = Display(1);
    std::ostringstream out, err;
    EXPECT_EQ(RunCommand(options, stop, out, err), ExitServiceError);
    EXPECT_EQ(err.str(),
              "error: the directory service at 127.0.0.1:" + std::to_string(service.Port()) +
                  " refused the update: 0x80000000 (failure)\n");
}

// The load tool's measurements against the real registry, plain and layered: every call it
// counts was answered with success, and a service that refuses is a failure, not a figure.
class LoadCommand : public ::testing::TestWithParam<bool> {};

TEST_P(LoadCommand, CountsAnsweredCallsAndFailsOnARefusal) {
    const auto registry = StartRegistry();
    ASSERT_TRUE(registry);
    StopFlag stop;
    Options options = CommandOptions(registry->GetPort(), Command::Load);
    options.reliable = GetParam();
    options.durationMs = 300;
    options.tableSizes = {200};
    std::ostringstream out, err;
    ASSERT_EQ(RunCommand(options, stop, out, err), ExitOk) << err.str();
    for (const char* line : {" 1 display(s): ", "10 display(s): ", "50 display(s): ",
                             "table of 200 displays", " 1 client(s): ", "10 client(s): "}) {
        EXPECT_NE(out.str().find(line), std::string::npos) << line << "\n" << out.str();
    }
    EXPECT_EQ(out.str().find(" (0 calls)"), std::string::npos) << out.str();
    // 1 + 10 + 50 displays updated, 200 in all after the table's top-up.
    EXPECT_EQ(registry->GetDisplayCount(), 200u);

    RefusingService refusing(ResultFail);
    ASSERT_TRUE(refusing.Ok());
    options.servicePort = refusing.Port();
    std::ostringstream refusedOut, refusedErr;
    EXPECT_EQ(RunCommand(options, stop, refusedOut, refusedErr), ExitServiceError);
    EXPECT_EQ(refusedErr.str(), "error: UpdateDisplay failed: 0x80000000 (failure)\n");
}

INSTANTIATE_TEST_SUITE_P(BothForms, LoadCommand, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Layered" : "Plain"; });

// Output a command writes from its own thread while the test reads it, under one lock.
struct LockedBuffer : std::stringbuf {
    // Recursive: xsputn of the base may call overflow.
    std::recursive_mutex mutex;
    int sync() override { return 0; }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        std::lock_guard lock(mutex);
        return std::stringbuf::xsputn(s, n);
    }
    int overflow(int c) override {
        std::lock_guard lock(mutex);
        return std::stringbuf::overflow(c);
    }
    std::string Text() {
        std::lock_guard lock(mutex);
        return str();
    }
};

TEST(Commands, WatchPrintsOnlyChanges) {
    const auto registry = StartRegistry();
    ASSERT_TRUE(registry);
    auto writer = ConnectTo(Settings(registry->GetPort(), false));
    ASSERT_TRUE(writer);
    ASSERT_EQ(writer->UpdateDisplay(Display(1)), ResultOk);

    StopFlag stop;
    Options list = CommandOptions(registry->GetPort(), Command::List);
    list.watch = true;
    list.json = true;
    list.everyMs = 20;
    LockedBuffer buffer;
    std::ostream out(&buffer);
    std::ostringstream err;
    int code = -1;
    std::thread watch([&] { code = RunCommand(list, stop, out, err); });
    EXPECT_TRUE(
        PollUntil([&] { return buffer.Text().find("\"displays\":[") != std::string::npos; }));
    const std::uint32_t enumerations = registry->GetCounters().enumerationCount;
    ASSERT_EQ(writer->UpdateDisplay(Display(2)), ResultOk);
    EXPECT_TRUE(PollUntil([&] { return buffer.Text().find("\"added\":[") != std::string::npos; }));
    stop.Request();
    watch.join();
    EXPECT_EQ(code, ExitOk) << err.str();
    const std::string text = buffer.Text();
    EXPECT_NE(text.find("\"added\":[{\"id\":\"" + Display(2).displayId.ToString()),
              std::string::npos)
        << text;
    // One transfer for the change, none for the polls in between.
    EXPECT_EQ(registry->GetCounters().enumerationCount, enumerations + 1);
    EXPECT_EQ(text.find("\"added\":", text.find("\"added\":") + 1), std::string::npos) << text;
}

TEST(Commands, SimulateRegistersAgainAfterTheServiceRestarts) {
    auto registry = StartRegistry();
    ASSERT_TRUE(registry);
    const std::uint16_t port = registry->GetPort();
    StopFlag stop;
    Options options = CommandOptions(port, Command::Simulate);
    options.count = 25;
    options.everyMs = 600000;  // only a restart can cause the second registration
    LockedBuffer buffer;
    std::ostream out(&buffer);
    std::ostringstream err;
    int code = -1;
    std::thread simulate([&] { code = RunCommand(options, stop, out, err); });
    EXPECT_TRUE(PollUntil([&] { return registry->GetDisplayCount() == 25; }));

    registry.Reset();
    // Started again once the simulation found it gone and waits to retry: a request that
    // reaches a registry still starting (its listeners take connections before it counts as
    // initialised) is refused as not initialised, which would end the simulation.
    EXPECT_TRUE(PollUntil(
        [&] { return buffer.Text().find("waiting for the service") != std::string::npos; }));
    registry = StartRegistry(port);
    const bool again = registry && PollUntil([&] { return registry->GetDisplayCount() == 25; },
                                             std::chrono::milliseconds(30000));
    // What was registered again, as a client lists it.
    std::vector<DisplayRecord> table;
    if (again) {
        auto lister = ConnectTo(Settings(port, true));
        std::uint64_t version = 0;
        StopFlag listing;
        if (lister && Succeeded(lister->RequestTable(true, 0, &version))) {
            (void)lister->WaitForTable(10000, &listing, &table);
        }
    }
    stop.Request();
    simulate.join();
    EXPECT_TRUE(again);
    EXPECT_EQ(code, ExitOk) << err.str();
    ASSERT_EQ(table.size(), 25u);
    EXPECT_EQ(table.front().extra, "simulated");
}

}  // namespace
}  // namespace brondal::corvane::client
