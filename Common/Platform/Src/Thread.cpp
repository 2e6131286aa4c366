#include "Thread.h"

namespace brondal {

Thread::Thread() : thread_(GetScheduler().CreateThread(this, 0, false)) {}

Thread::~Thread() { thread_.reset(); }

void Thread::Start(std::int32_t timeoutMs) { thread_->ThreadStart(timeoutMs); }

void Thread::Stop() { thread_->Stop(); }

void Thread::Terminate() { thread_->Terminate(); }

void Thread::Wake() { thread_->Wake(); }

std::int32_t Thread::SetPriority(std::int32_t priority) { return thread_->SetPriority(priority); }

bool Thread::IsRunning() { return thread_->IsRunning(); }

}  // namespace brondal
