#pragma once
// Points one of the product's seams at a test's query for the guard's
// lifetime, then puts back the query it replaced, so guards nest.
namespace tessary::testing {

// `Set` is a seam's setter: it installs a query (null for the real call)
// and returns the one it replaces.
template <auto Set>
class ScopedSeam {
 public:
  using Query = decltype(Set(nullptr));

  explicit ScopedSeam(Query query) noexcept : previous_(Set(query)) {}
  ~ScopedSeam() { Set(previous_); }
  ScopedSeam(const ScopedSeam&) = delete;
  ScopedSeam& operator=(const ScopedSeam&) = delete;

 private:
  Query previous_;
};

}  // namespace tessary::testing
