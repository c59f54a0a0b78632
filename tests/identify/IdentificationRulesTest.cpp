// The rules file's two readers: the rule table of name-based identification
// and the start-menu rules of the engine, which read the same file by
// different rules.
#include <windows.h>

#include <gtest/gtest.h>

#include "IdentifyTestSupport.h"
#include "datafiles/DataFiles.h"
#include "identify/IdentificationRules.h"
#include "identify/StartMenu.h"

namespace tessary::testing {
namespace {

using Strings = std::vector<std::wstring>;

Strings Split(std::wstring_view value) {
  Strings list;
  AppendCommaList(value, list);
  return list;
}

TEST(CommaListTest, SplitsAtEveryCommaWithoutTrimming) {
  EXPECT_EQ(Split(L"a,b"), (Strings{L"a", L"b"}));
  EXPECT_EQ(Split(L"a,"), (Strings{L"a"}));
  EXPECT_EQ(Split(L",a"), (Strings{L"", L"a"}));
  EXPECT_EQ(Split(L"a,,b"), (Strings{L"a", L"", L"b"}));
  EXPECT_EQ(Split(L" a , b"), (Strings{L" a ", L" b"}));
  EXPECT_EQ(Split(L""), Strings{});
  EXPECT_EQ(Split(L","), (Strings{L""}));
}

class RuleFileTest : public ::testing::Test {
 protected:
  std::wstring Path() const { return dir_.Join(L"KaData\\KaSoftwareVerIdentify.xml"); }
  bool Load(std::wstring_view xml) {
    return WriteRules(dir_.path(), xml) && table_.Load(Path().c_str());
  }
  bool LoadStartMenu(std::wstring_view xml) {
    return WriteRules(dir_.path(), xml) && LoadStartMenuRules(Path().c_str(), startMenu_);
  }

  TempDir dir_;
  IdentificationRuleTable table_;
  std::vector<StartMenuRule> startMenu_;
};

TEST_F(RuleFileTest, ReadsEntriesRulesAndLocations) {
  ASSERT_TRUE(Load(
      L"<vedad result='0' msg='ok'>"
      L"<soft Name='ExamplePlayer' other='x'>"
      L"<regkey DisplayName='Example Player' POLICY='3' Ver_FilePath='player.exe'"
      L" ver_filepath1='a.exe,,b.exe,'>ExamplePlayer_is1</regkey>"
      L"<regkey>Second</regkey>"
      L"<RegKey>Ignored</RegKey><Start_Menu path='x'/>"
      L"<start_menu path='Example Player' app_file='player.exe' uninstall_file='uninst.exe'"
      L" policy='4' ver_filepath='player.exe'/>"
      L"<start_menu ver_filepath=''/><start_menu/>"
      L"</soft></vedad>"));
  ASSERT_EQ(table_.Size(), 1u);
  const SoftwareRule* rule = table_.Find(L"exampleplayer");
  ASSERT_NE(rule, nullptr);
  EXPECT_EQ(rule->status, kaSoftInstallStatus_unknown);
  EXPECT_TRUE(rule->version.empty());
  ASSERT_EQ(rule->regKeyRules.size(), 2u);
  const RegKeyRule& first = rule->regKeyRules[0];
  EXPECT_EQ(first.regKey, L"ExamplePlayer_is1");
  EXPECT_EQ(first.displayName, L"Example Player");
  EXPECT_EQ(first.policy, 3);
  EXPECT_EQ(first.verFilePath, L"player.exe");
  EXPECT_EQ(first.altVerFilePaths, (Strings{L"a.exe", L"", L"b.exe"}));
  EXPECT_EQ(rule->regKeyRules[1].policy, kaSoftVersionPolicy_none);
  EXPECT_EQ(rule->regKeyRules[1].regKey, L"Second");

  ASSERT_EQ(rule->startMenuLocations.size(), 3u);
  const StartMenuLocation& location = rule->startMenuLocations[0];
  EXPECT_EQ(location.subFolder, L"Example Player");
  EXPECT_EQ(location.appFile, L"player.exe");
  EXPECT_EQ(location.uninstallFile, L"uninst.exe");
  EXPECT_EQ(location.policy, 4);
  EXPECT_EQ(location.verFilePaths, Strings{L"player.exe"});
  // A present but empty list names the empty path; an absent one none.
  EXPECT_EQ(rule->startMenuLocations[1].verFilePaths, Strings{L""});
  EXPECT_EQ(rule->startMenuLocations[1].policy, kaSoftVersionPolicy_none);
  EXPECT_TRUE(rule->startMenuLocations[2].verFilePaths.empty());
}

TEST_F(RuleFileTest, EntriesByNameLaterWinsAndEmptyOnesDropped) {
  ASSERT_TRUE(Load(
      L"<doc><other/><vedad>"
      L"<soft name='Foo'><regkey>first</regkey></soft>"
      L"<soft name='foo'><regkey>second</regkey></soft>"
      L"<soft><regkey>nameless</regkey></soft>"
      L"<soft name='Empty'/>"
      L"<soft name='Blank'>   </soft>"
      L"<soft name='Commented'><!-- rules to come --></soft>"
      L"</vedad></doc>"));
  const SoftwareRule* foo = table_.Find(L"foo");
  ASSERT_NE(foo, nullptr);
  ASSERT_EQ(foo->regKeyRules.size(), 1u);
  EXPECT_EQ(foo->regKeyRules[0].regKey, L"second");
  ASSERT_NE(table_.Find(L""), nullptr);
  EXPECT_EQ(table_.Find(L"empty"), nullptr);
  EXPECT_EQ(table_.Find(L"blank"), nullptr);
  const SoftwareRule* commented = table_.Find(L"commented");
  ASSERT_NE(commented, nullptr);
  EXPECT_TRUE(commented->regKeyRules.empty());
  EXPECT_EQ(table_.Size(), 3u);
}

TEST_F(RuleFileTest, RejectedFileKeepsThePreviousTableAndItsResults) {
  ASSERT_TRUE(Load(L"<vedad><soft name='Kept'><regkey>k</regkey></soft></vedad>"));
  table_.Find(L"kept")->status = kaSoftInstallStatus_installed;
  const struct {
    std::wstring_view xml;
    RulesRefusal why;
  } rejected[] = {
      {L"<vedad result='1'><soft name='New'><regkey>n</regkey></soft></vedad>",
       RulesRefusal::kFailedResult},
      {L"<vedad RESULT='-2'><soft name='New'><regkey>n</regkey></soft></vedad>",
       RulesRefusal::kFailedResult},
      {L"<VEDAD><soft name='New'><regkey>n</regkey></soft></VEDAD>", RulesRefusal::kNoRoot},
      {L"<vedad><soft name='New'>", RulesRefusal::kNoDocument},
      {L"<vedad/>", RulesRefusal::kNoRules},
  };
  for (const auto& [xml, why] : rejected) {
    EXPECT_FALSE(Load(xml)) << std::wstring(xml);
    EXPECT_EQ(table_.LoadOrRefuse(LoadXmlText(xml).Get()), why) << std::wstring(xml);
    ASSERT_NE(table_.Find(L"kept"), nullptr) << std::wstring(xml);
    EXPECT_EQ(table_.Find(L"kept")->status, kaSoftInstallStatus_installed);
    EXPECT_EQ(table_.Find(L"new"), nullptr);
  }
  ::DeleteFileW(Path().c_str());
  EXPECT_FALSE(table_.Load(Path().c_str()));
  EXPECT_EQ(table_.Size(), 1u);

  // An accepted file replaces everything, results included.
  ASSERT_TRUE(Load(L"<vedad result='abc'><soft name='Kept'><regkey>k</regkey></soft></vedad>"));
  EXPECT_EQ(table_.Find(L"kept")->status, kaSoftInstallStatus_unknown);
}

TEST_F(RuleFileTest, StartMenuReaderKeepsOnlyLocationsAndDuplicates) {
  ASSERT_TRUE(LoadStartMenu(
      L"<vedad result='x'>"
      L"<soft name='RegOnly'><regkey>r</regkey></soft>"
      L"<soft name='Twice'><start_menu path='a' ver_filepath=''/></soft>"
      L"<soft name='TWICE'><Start_Menu path='b'/><start_menu PATH='c' App_File='p'"
      L" ver_filepath=',x.exe,'/></soft>"
      L"</vedad>"));
  ASSERT_EQ(startMenu_.size(), 2u);
  EXPECT_EQ(startMenu_[0].name, L"twice");
  ASSERT_EQ(startMenu_[0].locations.size(), 1u);
  // This reader takes an empty value as no path at all.
  EXPECT_TRUE(startMenu_[0].locations[0].verFilePaths.empty());
  EXPECT_EQ(startMenu_[1].name, L"twice");
  ASSERT_EQ(startMenu_[1].locations.size(), 1u);
  EXPECT_EQ(startMenu_[1].locations[0].subFolder, L"c");
  EXPECT_EQ(startMenu_[1].locations[0].appFile, L"p");
  EXPECT_EQ(startMenu_[1].locations[0].verFilePaths, (Strings{L"", L"x.exe"}));

  // An empty root keeps the list and counts as read; a rejected file fails.
  EXPECT_TRUE(LoadStartMenu(L"<vedad></vedad>"));
  EXPECT_EQ(startMenu_.size(), 2u);
  EXPECT_FALSE(LoadStartMenu(L"<vedad result='1'><soft name='n'><start_menu/></soft></vedad>"));
  EXPECT_EQ(startMenu_.size(), 2u);
  EXPECT_TRUE(LoadStartMenu(L"<vedad><soft name='n'><regkey>r</regkey></soft></vedad>"));
  EXPECT_TRUE(startMenu_.empty());
}

}  // namespace
}  // namespace tessary::testing
