#include "SharedThread.h"

namespace brondal {

namespace {

thread_local int sharedDepth = 0;

}  // namespace

SharedThreadScope::SharedThreadScope() { ++sharedDepth; }

SharedThreadScope::~SharedThreadScope() { --sharedDepth; }

bool IsSharedThread() { return sharedDepth > 0; }

}  // namespace brondal
