#pragma once

#include <vector>

#include "DirectoryProtocol.h"

namespace brondal::corvane::client {

// Joins the batches of one enumeration into the table. Batches arrive in order on the
// callback connection; the one with the end flag completes the table.
class TableAssembler {
public:
    // True when this batch completed a table, which Take then hands out.
    bool Add(DisplayBatch&& batch);
    std::vector<DisplayRecord> Take();

private:
    std::vector<DisplayRecord> pending_;
    std::vector<DisplayRecord> complete_;
};

}  // namespace brondal::corvane::client
