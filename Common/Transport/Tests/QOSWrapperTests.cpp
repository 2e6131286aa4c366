// DSCP marking: the class → traffic type mapping, the fallback rules, and marking real
// sockets (never connected, so nothing is sent).
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "DscpMarking.h"
#include "ISocket.h"
#include "LogCapture.h"
#include "QOSWrapper.h"
#include "RefPtr.h"
#include "SocketTos.h"

#ifdef _WIN32
#include <winerror.h>
#include <winsock2.h>
#endif

namespace brondal {
namespace {

// The system's errors for a marking the caller may not set.
#ifdef _WIN32
constexpr int NotPermitted = ERROR_ACCESS_DENIED, AccessDenied = WSAEACCES;
#else
constexpr int NotPermitted = EPERM, AccessDenied = EACCES;
#endif

// On Windows the marking lives in qWave's flows, which the socket option does not show.
#define SKIP_UNLESS_MARKING_READS_BACK()     \
    if (!platform::SocketMarkingReadsBack()) \
    GTEST_SKIP() << "this system marks through flows the socket option does not show"

TEST(DscpTrafficType, ClassesMapToTrafficTypes) {
    EXPECT_EQ(TrafficTypeForDscp(46), QosTrafficType::AudioVideo);  // expedited forwarding
    EXPECT_EQ(TrafficTypeForDscp(48), QosTrafficType::Voice);
    EXPECT_EQ(TrafficTypeForDscp(0), QosTrafficType::BestEffort);

    const QosTrafficType byClass[8] = {QosTrafficType::BestEffort, QosTrafficType::Background,
                                       QosTrafficType::AudioVideo, QosTrafficType::AudioVideo,
                                       QosTrafficType::AudioVideo, QosTrafficType::AudioVideo,
                                       QosTrafficType::Voice,      QosTrafficType::Voice};
    for (std::uint32_t dscp = 0; dscp < 64; ++dscp) {
        EXPECT_EQ(TrafficTypeForDscp(dscp), byClass[dscp >> 3]) << "DSCP " << dscp;
    }
    // Only the class bits count, whatever lies above them.
    EXPECT_EQ(TrafficTypeForDscp(0x100 | 46), QosTrafficType::AudioVideo);
}

// Marks through a fake socket that answers each attempt from a script and records it.
class DscpMarkingRules : public ::testing::Test {
protected:
    // Each marking runs on a thread of its own: the logger silences a call site that
    // repeats quickly on one thread, which repeated runs of these tests would trip.
    DscpMarkOutcome Mark(std::uint32_t dscp, std::vector<int> answers) {
        DscpMarkOutcome outcome = DscpMarkOutcome::Refused;
        std::thread marker([&] {
            outcome = MarkDscp(dscp, [&](int tos) {
                attempts.push_back(tos);
                const int answer = answers.empty() ? 0 : answers.front();
                if (!answers.empty()) answers.erase(answers.begin());
                return answer;
            });
        });
        marker.join();
        return outcome;
    }

    testing::LogCapture log;
    std::vector<int> attempts;
};

TEST_F(DscpMarkingRules, ExactValueGoesInTheUpperSixBits) {
    EXPECT_EQ(Mark(46, {0}), DscpMarkOutcome::Exact);
    EXPECT_EQ(attempts, std::vector<int>{184});
    EXPECT_TRUE(log.Messages().empty());
}

TEST_F(DscpMarkingRules, LackOfRightsFallsBackToTheClassWithAWarning) {
    EXPECT_EQ(Mark(46, {NotPermitted, 0}), DscpMarkOutcome::ClassOnly);
    EXPECT_EQ(Mark(50, {AccessDenied, 0}), DscpMarkOutcome::ClassOnly);
    EXPECT_EQ(attempts, (std::vector<int>{184, 5 << 5, 200, 6 << 5}));
    EXPECT_EQ(log.Messages(),
              (std::vector<std::string>{
                  "Could not set precise QoS DSCP Value.  DSCP Prefix value of 5 set instead.",
                  "Could not set precise QoS DSCP Value.  DSCP Prefix value of 6 set instead."}));
}

TEST_F(DscpMarkingRules, OtherRefusalsAreFinal) {
    EXPECT_EQ(Mark(46, {EBADF}), DscpMarkOutcome::Refused);
    EXPECT_EQ(attempts, std::vector<int>{184});
    EXPECT_EQ(Mark(46, {NotPermitted, NotPermitted}), DscpMarkOutcome::Refused);
    EXPECT_TRUE(log.Messages().empty());
}

TEST_F(DscpMarkingRules, ValuesAboveTheFieldMarkTheirClassOnly) {
    EXPECT_EQ(Mark(64 + 46, {0}), DscpMarkOutcome::ClassOnly);
    EXPECT_EQ(attempts, std::vector<int>{5 << 5});
    EXPECT_TRUE(log.Messages().empty());
}

class QOSWrapperOnSocket : public ::testing::Test {
protected:
    QOSWrapperOnSocket() {
        EXPECT_EQ(CreateSocket(socket.Receive(), SocketFamily::Ipv4, SocketType::Stream,
                               SocketProtocol::Tcp),
                  ResultOk);
    }
    int Tos() {
        int tos = -1;
        EXPECT_EQ(platform::GetSocketTos(socket->GetNativeSocket(), &tos), 0);
        return tos;
    }

    RefPtr<ISocket> socket;
};

TEST_F(QOSWrapperOnSocket, InitializeAlwaysSucceeds) {
    EXPECT_EQ(QOSWrapper::Initialize(), ResultOk);
    EXPECT_EQ(QOSWrapper::Initialize(), ResultOk);
}

TEST_F(QOSWrapperOnSocket, MarksAndCleansUpARealSocket) {
    SKIP_UNLESS_MARKING_READS_BACK();
    QOSWrapper::State state;
    ASSERT_EQ(QOSWrapper::SetDSCP(socket->GetNativeSocket(), &state, 46), ResultOk);
    EXPECT_NE(state.handle, 0u);
    EXPECT_NE(state.flow, 0u);
    EXPECT_EQ(Tos(), 46 << 2);

    QOSWrapper::State second;
    ASSERT_EQ(QOSWrapper::SetDSCP(socket->GetNativeSocket(), &second, 10), ResultOk);
    EXPECT_NE(second.flow, state.flow);
    EXPECT_EQ(Tos(), 10 << 2);

    EXPECT_EQ(QOSWrapper::CleanupQos(socket->GetNativeSocket(), second), ResultOk);
    EXPECT_EQ(Tos(), 0);
}

TEST_F(QOSWrapperOnSocket, RefusedSocketGivesWriteFailureAndZeroState) {
    QOSWrapper::State state{7, 7};
    socket->Close();
    EXPECT_EQ(QOSWrapper::SetDSCP(socket->GetNativeSocket(), &state, 46), ResultSocketWriteFailed);
    EXPECT_EQ(state.handle, 0u);
    EXPECT_EQ(state.flow, 0u);
    EXPECT_EQ(QOSWrapper::SetDSCP(-1, nullptr, 46), ResultNullPointer);
}

TEST_F(QOSWrapperOnSocket, CleanupTouchesTheSocketOnlyForAFlow) {
    SKIP_UNLESS_MARKING_READS_BACK();
    ASSERT_EQ(platform::SetSocketTos(socket->GetNativeSocket(), 46 << 2), 0);
    EXPECT_EQ(QOSWrapper::CleanupQos(socket->GetNativeSocket(), QOSWrapper::State()), ResultOk);
    EXPECT_EQ(Tos(), 46 << 2);
    // An invalid descriptor shows whether the socket was touched at all.
    EXPECT_EQ(QOSWrapper::CleanupQos(-1, QOSWrapper::State()), ResultOk);
    EXPECT_EQ(QOSWrapper::CleanupQos(-1, QOSWrapper::State{1, 1}), ResultFail);
}

}  // namespace
}  // namespace brondal
