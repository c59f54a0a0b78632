// Every test runs on a single-threaded apartment, as a host calls us.
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

int wmain(int argc, wchar_t** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (FAILED(::CoInitialize(nullptr))) return 2;
  const int result = RUN_ALL_TESTS();
  ::CoUninitialize();
  return result;
}
