#pragma once
// One sweep: a run of some work, first with every allocation succeeding,
// then once per allocation that run made, with exactly that one failing.
// Each run gets a fresh state made with every allocation succeeding; once
// the state is gone, no operator new block, COM allocator block or module
// lock of the run may remain.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "AllocHooks.h"
#include "com/Module.h"

namespace tessary::testing {

struct Outcome {
  uint64_t n = 0;  // the failing allocation; 0 for the clean run
  bool fired = false;
  HRESULT hr = S_OK;
};

// `prepare()` returns the state (a pointer-like owner), `run(state)` the work's
// result, `judge(state, outcome)` checks it. Returns the allocations of a run.
template <typename Prepare, typename Run, typename Judge>
uint64_t Sweep(Prepare&& prepare, Run&& run, Judge&& judge) {
  // A first run fills what the module and the platform cache for good.
  { auto state = prepare(); run(*state); }
  uint64_t count = 0;
  for (uint64_t n = 0; n <= count; ++n) {
    const int64_t blocks = LiveBlocks();
    const int64_t comBlocks = LiveComBlocks();
    const LONG locks = Module::LockCount();
    {
      auto state = prepare();
      if (::testing::Test::HasFailure()) return count;
      const uint64_t start = AllocationCount();
      if (n) ArmFailure(n);
      const HRESULT hr = run(*state);
      const bool fired = n ? DisarmFailure() : false;
      if (!n) count = AllocationCount() - start;
      SCOPED_TRACE(::testing::Message() << "allocation " << n << " of " << count << " failing");
      EXPECT_TRUE(fired || !n);
      judge(*state, Outcome{n, fired, hr});
    }
    // The clean run's judge keeps what it read, to compare the others with;
    // what the clean run itself leaks shows in every other run.
    if (::testing::Test::HasFailure()) break;  // gtest keeps its messages
    if (n) {
      EXPECT_EQ(LiveBlocks() - blocks, 0) << "blocks left by the run failing allocation " << n;
      EXPECT_EQ(LiveComBlocks() - comBlocks, 0) << "COM blocks left, allocation " << n;
      EXPECT_EQ(Module::LockCount() - locks, 0) << "module locks left, allocation " << n;
    }
    if (::testing::Test::HasFailure()) break;
  }
  EXPECT_GT(count, 0u);
  return count;
}

// A result a run may give: success as the clean run gave it, or running out.
inline bool IsCleanOrOutOfMemory(HRESULT hr, HRESULT clean) {
  return hr == clean || hr == E_OUTOFMEMORY;
}

// Judges a run of work that publishes whole or not at all: `now` is what it
// left published, `before` what was published before it. The clean run's
// `now` is kept in `after`, for the others to be compared with.
inline void ExpectWholeOrUnchanged(const Outcome& outcome, HRESULT clean, const std::wstring& now,
                                   const std::wstring& before, std::wstring& after) {
  if (!outcome.n) after = now;
  EXPECT_NE(after, before) << "the clean run must publish something new";
  ASSERT_TRUE(IsCleanOrOutOfMemory(outcome.hr, clean)) << outcome.hr;
  EXPECT_EQ(now, outcome.hr == clean ? after : before);
}

}  // namespace tessary::testing
