#pragma once
// A slim reader/writer lock that can live in a static: nothing to construct
// at load time and nothing to free at unload.
#include <windows.h>

namespace tessary {

class SrwLock {
 public:
  constexpr SrwLock() noexcept = default;
  SrwLock(const SrwLock&) = delete;
  SrwLock& operator=(const SrwLock&) = delete;

  class [[nodiscard]] Exclusive {
   public:
    explicit Exclusive(SrwLock& lock) noexcept : lock_(lock) {
      ::AcquireSRWLockExclusive(&lock_.lock_);
    }
    ~Exclusive() { ::ReleaseSRWLockExclusive(&lock_.lock_); }
    Exclusive(const Exclusive&) = delete;
    Exclusive& operator=(const Exclusive&) = delete;

   private:
    SrwLock& lock_;
  };

  class [[nodiscard]] Shared {
   public:
    explicit Shared(SrwLock& lock) noexcept : lock_(lock) { ::AcquireSRWLockShared(&lock_.lock_); }
    ~Shared() { ::ReleaseSRWLockShared(&lock_.lock_); }
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;

   private:
    SrwLock& lock_;
  };

 private:
  SRWLOCK lock_ = SRWLOCK_INIT;
};

}  // namespace tessary
