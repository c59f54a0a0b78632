#pragma once
// Runs a cleanup on every exit from a scope, for the one-off cases no owner
// type fits.
#include <utility>

namespace tessary {

template <typename Cleanup> class ScopeExit {
public:
  explicit ScopeExit(Cleanup cleanup) noexcept : cleanup_(std::move(cleanup)) {}
  ~ScopeExit() { cleanup_(); }
  ScopeExit(const ScopeExit &) = delete;
  ScopeExit &operator=(const ScopeExit &) = delete;

private:
  Cleanup cleanup_;
};

} // namespace tessary
