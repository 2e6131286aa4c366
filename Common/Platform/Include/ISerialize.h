#pragma once

#include "ResultCodes.h"

namespace brondal {

class IDataStream;

// A value that writes itself to and reads itself from a data stream.
class ISerialize {
public:
    [[nodiscard]] virtual Result Deserialize(IDataStream* stream) = 0;
    [[nodiscard]] virtual Result Serialize(IDataStream* stream) const = 0;

protected:
    // Not virtual, and trivial: nothing is deleted through this interface, and values such
    // as identifier constants must stay intact while a process ends.
    ~ISerialize() = default;
};

}  // namespace brondal
