// Every test runs on a single-threaded apartment, as a host calls us, and
// leaves every heap of the process sound: under Wine's heap checks a
// validation reports an overrun or a write after free (see
// tests/CMakeLists.txt), and the test that left it fails by name.
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <vector>

namespace {

class HeapValidation final : public ::testing::EmptyTestEventListener {
  void OnTestEnd(const ::testing::TestInfo& test) override {
    // A damaged heap stays damaged: the first test that left it is the one
    // to name.
    if (damaged_) return;
    std::vector<HANDLE> heaps(64);
    DWORD count = ::GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data());
    if (count > heaps.size()) {
      heaps.resize(count);
      count = ::GetProcessHeaps(count, heaps.data());
    }
    heaps.resize(count < heaps.size() ? count : heaps.size());
    for (HANDLE heap : heaps) {
      if (!::HeapValidate(heap, 0, nullptr)) {
        damaged_ = true;
        // Reported as a failure of the test that just ended.
        ADD_FAILURE() << test.test_suite_name() << "." << test.name() << " left heap " << heap
                      << " damaged";
      }
    }
  }

  bool damaged_ = false;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (FAILED(::CoInitialize(nullptr))) return 2;
  // Appended after the result printer, so it runs before the printer hears
  // that the test ended (end events go to listeners in reverse order).
  ::testing::UnitTest::GetInstance()->listeners().Append(new HeapValidation);
  const int result = RUN_ALL_TESTS();
  ::CoUninitialize();
  return result;
}
