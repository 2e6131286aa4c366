#pragma once

#include <cstdint>
#include <functional>

namespace brondal {

// The traffic types a DSCP class is sorted into; the numbers are those of the marking
// interfaces the connections were designed against.
enum class QosTrafficType : std::uint32_t {
    BestEffort = 0,
    Background = 1,
    ExcellentEffort = 2,
    AudioVideo = 3,
    Voice = 4,
    Control = 5,
};

// The class of a DSCP value: its upper three bits (the old IP precedence).
constexpr std::uint32_t DscpClass(std::uint32_t dscp) { return (dscp >> 3) & 7; }

// Class 0 best effort, 1 background, 2 to 5 audio-video, 6 and 7 voice.
QosTrafficType TrafficTypeForDscp(std::uint32_t dscp);

enum class DscpMarkOutcome {
    Exact,      // the socket carries dscp
    ClassOnly,  // the socket carries the class selector of dscp's class
    Refused,    // the socket could not be marked at all
};

// Marks through setTos (which sets the type-of-service byte and returns 0 or the system's
// error number). A refusal for lack of rights (EPERM, EACCES) falls back to the class
// selector and logs a warning; any other refusal is final. A dscp above 63 does not fit the
// field and goes straight to its class.
DscpMarkOutcome MarkDscp(std::uint32_t dscp, const std::function<int(int tos)>& setTos);

}  // namespace brondal
