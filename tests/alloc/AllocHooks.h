#pragma once
// Allocation failures on demand, for this executable only. Every operator
// new of the code linked here is counted, and so is every COM string that
// code asks oleaut32 for (its import entries are pointed at counting
// wrappers); the one allocation a test arms fails, those after it succeed.
// Live counts of operator new blocks and of COM allocator blocks (where
// strings live once the string cache is off: OANOCACHE=1) show leaks.
#include <cstdint>

namespace tessary::testing {

// Points the string imports at the wrappers and registers the COM allocator
// spy. Call once, on the thread that initialised COM.
bool InstallAllocationHooks();
void RemoveAllocationHooks();

// Fails the n-th counted allocation from now (1 is the next one).
void ArmFailure(uint64_t n);
// Disarms; true when the armed allocation was reached (and failed).
bool DisarmFailure();

// The test's own allocations inside a run, while one of these lives on the
// thread, are neither counted nor failed.
class Uncounted {
 public:
  Uncounted() noexcept;
  ~Uncounted();
  Uncounted(const Uncounted&) = delete;
  Uncounted& operator=(const Uncounted&) = delete;
};

uint64_t AllocationCount();
int64_t LiveBlocks();
int64_t LiveComBlocks();

}  // namespace tessary::testing
