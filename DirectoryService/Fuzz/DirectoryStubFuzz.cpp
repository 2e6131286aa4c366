// The directory stub's argument decoding for its request methods, against a real registry
// on free loopback ports (its maintenance passes run from here, on a clock the harness
// moves, so that the table stays small). Each call's arguments are read back here by the
// layouts of the directory interface, with their defaults for missing trailing values, and
// the registry must then hold what they say: the display stored exactly, the subscription
// made or ended, the version answered (or refused once a callback connection holds as many
// tables as it may), and nothing changed by a call that failed.
//
// Input: calls until the input ends, each a byte (request connection in the low two bits,
// the argument stream's piece length above them), a method number (2 bytes) and the
// argument bytes (2-byte length).
#include <map>
#include <optional>

#include "CorvaneDirectoryService.h"
#include "DirectoryServiceStubImpl.h"
#include "DirectoryTestSupport.h"
#include "FuzzStreams.h"
#include "FuzzSupport.h"
#include "ManualClockScheduler.h"
#include "UuidStream.h"

namespace brondal::fuzz {
namespace {

using corvane::DisplayRecord;
using corvane::server::CorvaneDirectoryService;
using corvane::server::DirectoryServiceStubImpl;

// A registry whose maintenance thread never starts: the harness runs its passes.
class Registry final : public CorvaneDirectoryService {
public:
    using CorvaneDirectoryService::CorvaneDirectoryService;
    void Start(std::int32_t) override {}
};

struct Directory {
    testing::ManualClockScheduler* clock = new testing::ManualClockScheduler();
    RefPtr<Registry> registry;
    RefPtr<DirectoryServiceStubImpl> stub;
    UUID connections[4] = {UUID(0xc1, 0, 0, 1), UUID(0xc2, 0, 0, 2), UUID(0xc3, 0, 0, 3),
                           UUID(0xc4, 0, 0, 4)};
    std::uint64_t inputs = 0;

    Directory() {
        registry =
            RefPtr<Registry>::Adopt(new Registry(testing::FindFreePortPair(), testing::Loopback));
        FUZZ_CHECK(registry->Initialize() == ResultOk);
        stub = RefPtr<DirectoryServiceStubImpl>::Adopt(
            new DirectoryServiceStubImpl(registry->GetLink()));
    }
    // Now and then every display goes stale and a purge pass removes them.
    void Maintain() {
        if (++inputs % 64 != 0) return;
        clock->AdvanceMs(CorvaneDirectoryService::StaleAfterMs + 1);
        clock->SetSleepHook([](std::uint32_t) {});
        for (std::uint32_t pass = 0; pass <= CorvaneDirectoryService::PurgePassCount; ++pass)
            registry->ThreadFunc();
        clock->SetSleepHook(nullptr);
        FUZZ_CHECK(registry->GetDisplayCount() == 0);
    }
};

Directory& TheDirectory() {
    // Never destroyed: its transports' threads live as long as the process.
    static Directory* const directory = new Directory();
    return *directory;
}

// Reads values as the data stream does: a failed read leaves the position, except that a
// string whose bytes are missing leaves it after the length.
class Reader {
public:
    explicit Reader(const Bytes& bytes) : bytes_(bytes) {}
    template <class T>
    bool Read(T* value) {
        if (bytes_.size() - at_ < sizeof(T)) return false;
        std::uint64_t raw = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i)
            raw |= std::uint64_t{bytes_[at_ + i]} << (8 * i);
        at_ += sizeof(T);
        *value = static_cast<T>(raw);
        return true;
    }
    bool Read(bool* value) {
        std::uint8_t byte = 0;
        if (!Read(&byte)) return false;
        *value = byte != 0;
        return true;
    }
    bool Read(UUID* id) {
        if (bytes_.size() - at_ < 16) return false;
        Read(&id->Data1);
        Read(&id->Data2);
        Read(&id->Data3);
        for (std::uint8_t& byte : id->Data4)
            Read(&byte);
        return true;
    }
    bool Read(std::string* text) {
        std::uint32_t length = 0;
        if (!Read(&length)) return false;
        if (length > IDataStream::MaxStringLength) {
            at_ -= 4;
            return false;
        }
        if (length > bytes_.size() - at_) return false;
        text->assign(bytes_.begin() + static_cast<std::ptrdiff_t>(at_),
                     bytes_.begin() + static_cast<std::ptrdiff_t>(at_ + length));
        at_ += length;
        return true;
    }

private:
    const Bytes& bytes_;
    std::size_t at_ = 0;
};

// The callback connections of one input's subscriptions. None of them is a connection of
// the transport, so nothing queued for them ever leaves: each holds every table queued
// since it was registered, and takes no more than the callback thread's limit of runs.
struct Callbacks {
    struct Registered {
        UUID by;
        std::size_t runs = 0;
    };
    std::map<UUID, Registered> registered;

    void Subscribed(const UUID& connection, const UUID& callback) {
        registered.try_emplace(callback, Registered{connection});
    }
    void Unsubscribed(const UUID& connection, const std::optional<UUID>& callback) {
        const auto found = callback ? registered.find(*callback) : registered.end();
        if (found != registered.end() && found->second.by == connection) registered.erase(found);
    }
    // Whether a table can be queued for the callback connection; queues it when it can.
    bool Queue(const UUID& callback) {
        const auto found = registered.find(callback);
        if (found == registered.end() ||
            found->second.runs >= RpcCallbackThread::MaxQueuedSequences) {
            return false;
        }
        ++found->second.runs;
        return true;
    }
    void CheckQueued(CorvaneDirectoryService& registry) const {
        std::uint32_t connections = 0;
        std::uint32_t queued = 0;
        registry.GetCallbackStats(&connections, &queued);
        std::size_t runs = 0;
        for (const auto& [callback, entry] : registered)
            runs += entry.runs;
        FUZZ_CHECK(connections == registered.size() && queued == runs);
    }
};

void CheckCall(Directory& d, Callbacks& callbacks, const UUID& connection, std::uint16_t method,
               const Bytes& arguments, std::size_t piece) {
    Registry& registry = *d.registry;
    const std::uint64_t version = registry.GetDirectoryVersion();
    const std::size_t count = registry.GetDisplayCount();
    const std::optional<UUID> subscription = registry.GetSubscription(connection);
    Reader reader(arguments);
    RefPtr<IDataStream> reply = StreamOf({});
    const Result result =
        d.stub->ExecuteStub(nullptr, connection, CorvaneDirectoryService::DirectoryObjectId, method,
                            StreamOf(arguments, piece).Get(), reply.Get());
    const Bytes replied = RestOf(reply.Get());
    const bool unchanged =
        registry.GetDirectoryVersion() == version && registry.GetDisplayCount() == count;

    switch (method) {
        case corvane::MethodAddNotify: {
            UUID callback;
            const bool whole = reader.Read(&callback);
            FUZZ_CHECK(result == (whole ? ResultOk : ResultFail) && replied.empty() && unchanged);
            // A request connection keeps its first subscription.
            FUZZ_CHECK(registry.GetSubscription(connection) ==
                       (subscription || !whole ? subscription : callback));
            if (!subscription && whole) callbacks.Subscribed(connection, callback);
            break;
        }
        case corvane::MethodRemoveNotify:
            FUZZ_CHECK(result == ResultOk && replied.empty() && unchanged);
            FUZZ_CHECK(!registry.GetSubscription(connection));
            callbacks.Unsubscribed(connection, subscription);
            break;
        case corvane::MethodRequestEnumeration: {
            bool extended = false;
            std::uint64_t known = 0;
            reader.Read(&extended);
            reader.Read(&known);
            // A client whose copy is current is answered without a subscription; any other
            // needs one whose callback connection can take one more table.
            const bool answered = (known != 0 && known == version) ||
                                  (subscription && callbacks.Queue(*subscription));
            FUZZ_CHECK(result == (answered ? ResultOk : ResultFail) && unchanged);
            Bytes expected;
            for (std::size_t i = 0; answered && i < 8; ++i)
                expected.push_back(static_cast<std::uint8_t>(version >> (8 * i)));
            FUZZ_CHECK(replied == expected);
            break;
        }
        case corvane::MethodUpdateDisplay: {
            DisplayRecord record;
            const bool whole = reader.Read(&record.displayId) && reader.Read(&record.displayName) &&
                               reader.Read(&record.secondaryName) && reader.Read(&record.address) &&
                               reader.Read(&record.port);
            FUZZ_CHECK(replied.empty());
            if (!whole) {
                FUZZ_CHECK(result == ResultFail && unchanged);
                break;
            }
            // Older displays send only the five values above.
            reader.Read(&record.tag);
            reader.Read(&record.extra);
            FUZZ_CHECK(result == ResultOk);
            const std::optional<DisplayRecord> stored = registry.GetDisplay(record.displayId);
            FUZZ_CHECK(stored && *stored == record);
            break;
        }
        default:
            FUZZ_CHECK(result == ResultOk && replied.empty() && unchanged);
            break;
    }
}

}  // namespace

std::vector<Seed> FuzzSeeds() {
    auto arguments = [](auto write) {
        RefPtr<IDataStream> s = StreamOf({});
        write(s.Get());
        return RestOf(s.Get());
    };
    const UUID display(0x6f1c0e2a, 0x3b4d, 0x4e5f, 0x8a9b0c1d2e3f4a5b);
    const UUID callback(0xcb, 1, 2, 3);
    const Bytes five = arguments([&](IDataStream* s) {
        SerializeUuid(s, display);
        s->WriteString("Lobby");
        s->WriteString("lobby-2");
        s->WriteUInt32(0x0a000011);
        s->WriteUInt16(8080);
    });
    Bytes seven = five;
    const Bytes tail = arguments([](IDataStream* s) {
        s->WriteUInt32(7);
        s->WriteString("first floor");
    });
    seven.insert(seven.end(), tail.begin(), tail.end());
    const Bytes subscribe = arguments([&](IDataStream* s) { SerializeUuid(s, callback); });
    const Bytes enumerate = arguments([](IDataStream* s) {
        s->WriteBool(true);
        s->WriteUInt64(0);
    });
    auto calls = [](std::initializer_list<std::tuple<std::uint8_t, std::uint16_t, Bytes>> list) {
        SeedWriter seed;
        for (const auto& [selector, method, args] : list)
            seed.Byte(selector).Put(method).Sized(args, true);
        return seed.Get();
    };
    const Bytes cutPort(five.begin(), five.end() - 1);
    return {
        {"update-five", calls({{0, 4, five}})},
        {"update-seven-in-pieces", calls({{1 | (3 << 2), 4, seven}})},
        {"update-port-cut", calls({{0, 4, cutPort}})},
        {"update-tag-only", calls({{0, 4, Bytes(seven.begin(), seven.end() - 15)}})},
        {"subscribe-enumerate", calls({{0, 0, subscribe}, {0, 2, enumerate}, {0, 1, {}}})},
        {"enumerate-empty", calls({{2, 0, subscribe}, {2, 2, {}}})},
        {"enumerate-unsubscribed", calls({{3, 2, enumerate}})},
        {"subscribe-short", calls({{0, 0, Bytes(subscribe.begin(), subscribe.begin() + 9)}})},
        {"other-methods", calls({{0, 3, five}, {1, 5, {}}, {2, 0xffff, {1}}})},
    };
}

void FuzzOne(FuzzInput& input) {
    Directory& directory = TheDirectory();
    Callbacks callbacks;
    while (!input.Empty()) {
        const std::uint8_t selector = input.Byte();
        const auto method = input.Take<std::uint16_t>();
        CheckCall(directory, callbacks, directory.connections[selector & 3], method,
                  input.Sized(true), selector >> 2);
        callbacks.CheckQueued(*directory.registry);
    }
    for (const UUID& connection : directory.connections)
        directory.registry->RemoveNotify(connection);
    // Every callback connection, and every table queued for it, went with its subscription.
    Callbacks().CheckQueued(*directory.registry);
    directory.Maintain();
}

}  // namespace brondal::fuzz
