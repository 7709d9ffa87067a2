// A replaced global operator new that can be made to fail: the test
// programs' allocations go through it.
#pragma once

namespace vorn::test {

// Makes the calling thread's allocation after the next `allowed` ones throw
// std::bad_alloc (once); a negative count lets every allocation through.
void FailAllocationAfter(long allowed);
// True when the failure asked for has happened, and stops asking for one.
bool StopFailingAllocations();

}  // namespace vorn::test
