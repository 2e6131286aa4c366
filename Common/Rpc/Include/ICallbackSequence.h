#pragma once

#include "IDataStream.h"
#include "IRefCount.h"
#include "RefPtr.h"
#include "ResultCodes.h"

namespace brondal {

// A run of callbacks whose arguments are made one at a time, when the run's turn on the
// callback thread comes and its connection can take a call: a long run (a whole table) is
// then one queue entry and holds, besides its own state, only the call being sent.
class ICallbackSequence : public virtual IRefCount {
public:
    // The arguments of the next call of the run; *last is set with the final one. A failure
    // ends the run.
    virtual Result Next(RefPtr<IDataStream>* arguments, bool* last) = 0;
};

}  // namespace brondal
