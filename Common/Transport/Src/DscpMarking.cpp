#include "DscpMarking.h"

#include "LogCall.h"
#include "SocketTos.h"

namespace brondal {

namespace {

constexpr std::uint32_t MaxDscp = 63;

}  // namespace

QosTrafficType TrafficTypeForDscp(std::uint32_t dscp) {
    switch (DscpClass(dscp)) {
        case 0:
            return QosTrafficType::BestEffort;
        case 1:
            return QosTrafficType::Background;
        case 6:
        case 7:
            return QosTrafficType::Voice;
        default:
            return QosTrafficType::AudioVideo;
    }
}

DscpMarkOutcome MarkDscp(std::uint32_t dscp, const std::function<int(int tos)>& setTos) {
    const int classTos = static_cast<int>(DscpClass(dscp) << 5);
    if (dscp > MaxDscp) {
        return setTos(classTos) == 0 ? DscpMarkOutcome::ClassOnly : DscpMarkOutcome::Refused;
    }
    const int error = setTos(static_cast<int>(dscp << 2));
    if (error == 0) return DscpMarkOutcome::Exact;
    if (!platform::IsMarkingNotPermitted(error)) return DscpMarkOutcome::Refused;
    if (setTos(classTos) != 0) return DscpMarkOutcome::Refused;
    LOG_WARNING("Could not set precise QoS DSCP Value.  DSCP Prefix value of %d set instead.",
                static_cast<int>(DscpClass(dscp)));
    return DscpMarkOutcome::ClassOnly;
}

}  // namespace brondal
