// The registry-script interpreter, in a private HKEY_CLASSES_ROOT.
#include <windows.h>

#include <gtest/gtest.h>

#include "server/RegistryScript.h"
#include "support/TestSupport.h"

using tessary::ScriptReplacement;
using namespace tessary::testing;

namespace {

class ScriptTest : public ::testing::Test {
 protected:
  HRESULT Run(const wchar_t* script, bool registering) {
    const ScriptReplacement replacements[] = {{L"MODULE", L"C:\\x\\mod.dll"}, {L"APPID", L"{A}"}};
    return tessary::RunRegistryScript(script, replacements, registering);
  }
  RegistrySandbox sandbox_{true};
};

TEST_F(ScriptTest, WritesKeysValuesAndReplacements) {
  ASSERT_TRUE(sandbox_.ok());
  EXPECT_EQ(Run(LR"(HKCR
{
  Tess.Probe = s 'Probe Class'
  {
    CLSID = s '{1}'
    'Quoted Name' = s 'it''s %MODULE% 100%%'
  }
  NoRemove Parent
  {
    ForceRemove Child = s '%APPID%'
    {
      val Number = d '42'
      val Text = s 'Apartment'
    }
  }
})",
                true),
            S_OK);
  EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, L"Tess.Probe", nullptr), L"Probe Class");
  EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, L"Tess.Probe\\CLSID", nullptr), L"{1}");
  EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, L"Tess.Probe\\Quoted Name", nullptr),
            L"it's C:\\x\\mod.dll 100%");
  EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, L"Parent\\Child", nullptr), L"{A}");
  EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, L"Parent\\Child", L"Text"), L"Apartment");
  DWORD number = 0, size = sizeof(number);
  EXPECT_EQ(::RegGetValueW(HKEY_CLASSES_ROOT, L"Parent\\Child", L"Number", RRF_RT_REG_DWORD,
                           nullptr, &number, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(number, 42u);
}

TEST_F(ScriptTest, ForceRemoveReplacesTheTreeAndUnregisterKeepsForeignData) {
  ASSERT_TRUE(sandbox_.ok());
  const wchar_t* script = LR"(HKCR
{
  NoRemove Parent
  {
    ForceRemove Owned = s 'mine' { Sub = s 'x' }
    Shared = s 'mine' { val Ours = s '1' }
  }
})";
  ASSERT_TRUE(WriteString(HKEY_CLASSES_ROOT, L"Parent\\Owned\\Stale", nullptr, L"old"));
  ASSERT_TRUE(WriteString(HKEY_CLASSES_ROOT, L"Parent\\Shared", L"Theirs", L"keep"));
  ASSERT_TRUE(WriteString(HKEY_CLASSES_ROOT, L"Parent\\Neighbour", nullptr, L"keep"));

  ASSERT_EQ(Run(script, true), S_OK);
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"Parent\\Owned\\Stale"));
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"Parent\\Owned\\Sub"));

  ASSERT_EQ(Run(script, false), S_OK);
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"Parent\\Owned"));
  // Values and keys the script did not write survive, and so does their key.
  EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, L"Parent\\Shared", L"Theirs"), L"keep");
  EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, L"Parent\\Shared", L"Ours"), L"<missing>");
  EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, L"Parent\\Shared", nullptr), L"<missing>");
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"Parent\\Neighbour"));
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"Parent"));

  // Unregistering twice is harmless.
  EXPECT_EQ(Run(script, false), S_OK);
}

TEST_F(ScriptTest, MalformedScriptsWriteNothing) {
  ASSERT_TRUE(sandbox_.ok());
  for (const wchar_t* bad : {L"HKCR { A = s 'x' ", L"HKCR { A = s 'unterminated }",
                             L"HKXX { A = s 'x' }", L"HKCR { A = q 'x' }",
                             L"HKCR { val A = s 'x' }", L"HKCR { = s 'x' }"}) {
    EXPECT_EQ(Run(bad, true), HRESULT_FROM_WIN32(ERROR_INVALID_DATA)) << bad;
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"A")) << bad;
  }
}

}  // namespace
