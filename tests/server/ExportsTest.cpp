// The module's exported entry points, called as a host calls them.
#include <windows.h>

#include <gtest/gtest.h>
#include <wrl/client.h>

#include "TessaryLib.h"
#include "support/TestSupport.h"

using Microsoft::WRL::ComPtr;
using namespace tessary::testing;

namespace {

TEST(ExportsTest, GetClassObjectChecksItsArguments) {
  TessaryDll dll;
  ASSERT_TRUE(dll.ok());
  EXPECT_EQ(dll.GetClassObject(CLSID_KaSoftStatusManager, IID_IClassFactory, nullptr), E_POINTER);
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(dll.GetClassObject(IID_IUnknown, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(dll.CanUnloadNow(), S_OK);
}

TEST(ExportsTest, UnloadsOnlyWithoutObjectsOrLocks) {
  TessaryDll dll;
  ASSERT_TRUE(dll.ok());
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(dll.GetClassObject(CLSID_KaSoftMainType, IID_PPV_ARGS(&factory)), S_OK);
  // A cached class object alone does not hold the module.
  EXPECT_EQ(dll.CanUnloadNow(), S_OK);
  ComPtr<IUnknown> object;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_PPV_ARGS(&object)), S_OK);
  EXPECT_EQ(dll.CanUnloadNow(), S_FALSE);
  object.Reset();
  EXPECT_EQ(dll.CanUnloadNow(), S_OK);
  ASSERT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(dll.CanUnloadNow(), S_FALSE);
  ASSERT_EQ(factory->LockServer(FALSE), S_OK);
  EXPECT_EQ(dll.CanUnloadNow(), S_OK);
}

}  // namespace
