#pragma once
// An object living inside another and sharing its count: a reference to it
// keeps the owner, and so the object itself, alive. Its identity is its own.
// Never aggregated and never created alone: the owner makes and destroys it.
#include <windows.h>
#include <unknwn.h>

namespace tessary {

template <typename Interface>
class ContainedComObject : public Interface {
 public:
  ContainedComObject(const ContainedComObject&) = delete;
  ContainedComObject& operator=(const ContainedComObject&) = delete;

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) noexcept override {
    if (!ppv) return E_POINTER;
    if (riid != IID_IUnknown && riid != __uuidof(Interface)) {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    *ppv = static_cast<Interface*>(this);
    owner_->AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() noexcept override { return owner_->AddRef(); }
  STDMETHODIMP_(ULONG) Release() noexcept override { return owner_->Release(); }

 protected:
  explicit ContainedComObject(IUnknown* owner) noexcept : owner_(owner) {}
  ~ContainedComObject() = default;
  IUnknown* owner() const noexcept { return owner_; }

 private:
  IUnknown* owner_;
};

}  // namespace tessary
