// Data-file paths and the DOM helpers, against the platform's real parser.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "datafiles/DataFiles.h"
#include "datafiles/XmlDom.h"
#include "support/TestSupport.h"

using Microsoft::WRL::ComPtr;
using tessary::testing::TempDir;
using tessary::testing::ScopedModuleFile;
using tessary::testing::WriteFileBytes;

namespace tessary {
namespace {

std::wstring Text(const UniqueBstr& text) { return std::wstring(TextToNul(text.Get())); }

TEST(DataFilePathTest, ResolvesBesideTheModule) {
  ScopedModuleFile fake(L"C:\\A\\B\\m.dll");
  EXPECT_EQ(DataFilePath(L"..\\KaData\\KaSoftwareVerIdentify.xml"),
            L"C:\\A\\B\\KaData\\KaSoftwareVerIdentify.xml");
  EXPECT_EQ(DataFilePath(L"..\\KaData\\SoftType"), L"C:\\A\\B\\KaData\\SoftType");
  EXPECT_EQ(ModuleDirectory(nullptr), L"C:\\A\\B\\");
}

TEST(DataFilePathTest, RealModuleAndCutNames) {
  EXPECT_EQ(DataFilePath(L"..\\KaData\\x.xml"),
            tessary::testing::ExeDirectory() + L"\\KaData\\x.xml");
  EXPECT_EQ(ModuleDirectory(nullptr), tessary::testing::ExeDirectory() + L"\\");
  {
    ScopedModuleFile fake(L"module.dll");
    EXPECT_EQ(ModuleDirectory(nullptr), L"module.dll");
  }
  // A name cut at MAX_PATH is no path at all.
  ScopedModuleFile fake(L"C:\\" + std::wstring(300, L'x') + L"\\m.dll");
  EXPECT_EQ(DataFilePath(L"..\\KaData\\x.xml"), L"");
  EXPECT_EQ(ModuleDirectory(nullptr), L"");
}

class XmlFileTest : public ::testing::Test {
 protected:
  std::wstring Write(const wchar_t* name, std::string_view bytes) {
    const std::wstring path = dir_.Join(name);
    EXPECT_TRUE(WriteFileBytes(path, bytes));
    return path;
  }
  TempDir dir_;
};

TEST_F(XmlFileTest, ExternalEntitiesAreNeverResolved) {
  Write(L"secret.txt", "SECRET");
  const std::wstring path = Write(
      L"entity.xml", "<!DOCTYPE vedad [<!ENTITY x SYSTEM \"secret.txt\">]><vedad>&x;</vedad>");
  ComPtr<IXMLDOMDocument> fromFile = LoadXmlFile(path.c_str());
  ComPtr<IXMLDOMDocument> fromText =
      LoadXmlText(L"<!DOCTYPE a [<!ENTITY x SYSTEM \"" + dir_.Join(L"secret.txt") + L"\">]><a/>");
  for (IXMLDOMDocument* document : {fromFile.Get(), fromText.Get()}) {
    if (!document) continue;  // refusing the file is as safe
    VARIANT_BOOL resolves = VARIANT_TRUE;
    EXPECT_EQ(document->get_resolveExternals(&resolves), S_OK);
    EXPECT_EQ(resolves, VARIANT_FALSE);
    UniqueBstr xml;
    ASSERT_EQ(document->get_xml(xml.Receive()), S_OK);
    EXPECT_EQ(Text(xml).find(L"SECRET"), std::wstring::npos);
  }
}

TEST_F(XmlFileTest, MissingEmptyAndMalformedFilesGiveNothing) {
  EXPECT_EQ(LoadXmlFile(nullptr), nullptr);
  EXPECT_EQ(LoadXmlFile(dir_.Join(L"missing.xml").c_str()), nullptr);
  EXPECT_EQ(LoadXmlFile(Write(L"empty.xml", "").c_str()), nullptr);
  EXPECT_EQ(LoadXmlFile(Write(L"bad.xml", "<vedad><a></vedad>").c_str()), nullptr);
  // Declared gb2312 but broken: the second attempt must fail as well.
  EXPECT_EQ(
      LoadXmlFile(Write(L"bad936.xml", "<?xml version=\"1.0\" encoding=\"gb2312\"?><a>").c_str()),
      nullptr);

  ComPtr<IXMLDOMDocument> document;
  EXPECT_EQ(LoadXmlFileWithResult(dir_.Join(L"missing.xml").c_str(), document), E_FAIL);
  EXPECT_EQ(document, nullptr);
  EXPECT_EQ(LoadXmlFileWithResult(Write(L"ok.xml", "<vedad/>").c_str(), document), S_OK);
  EXPECT_NE(document, nullptr);
}

TEST_F(XmlFileTest, ChineseTextSurvivesEveryEncodingInUse) {
  const std::wstring expected = L"\x672a\x77e5\x7c7b\x522b";  // 未知类别
  const std::string utf8 = "\xe6\x9c\xaa\xe7\x9f\xa5\xe7\xb1\xbb\xe5\x88\xab";
  const std::string gbk = "\xce\xb4\xd6\xaa\xc0\xe0\xb1\xf0";
  const std::wstring wide = L"\xfeff<vedad name=\"" + expected + L"\">" + expected + L"</vedad>";
  const std::string utf16(reinterpret_cast<const char*>(wide.data()), wide.size() * 2);
  auto body = [](const std::string& text) {
    return "<vedad name=\"" + text + "\">" + text + "</vedad>";
  };
  const std::pair<const wchar_t*, std::string> cases[] = {
      {L"utf8.xml", "<?xml version=\"1.0\" encoding=\"utf-8\"?>" + body(utf8)},
      {L"utf8bom.xml", "\xef\xbb\xbf" + body(utf8)},
      {L"utf16.xml", utf16},
      {L"gbk.xml", "<?xml version=\"1.0\" encoding=\"GBK\"?>" + body(gbk)},
      {L"gb2312.xml", "<?xml version=\"1.0\" encoding=\"gb2312\"?>\r\n" + body(gbk)},
      {L"gb2312b.xml", "<?xml version='1.0' encoding = 'GB2312' standalone='yes'?>" + body(gbk)},
  };
  for (const auto& [file, bytes] : cases) {
    SCOPED_TRACE(::testing::Message() << file);
    ComPtr<IXMLDOMDocument> document = LoadXmlFile(Write(file, bytes).c_str());
    ASSERT_NE(document, nullptr);
    ComPtr<IXMLDOMNode> root = SelectRoot(document.Get(), L"vedad");
    EXPECT_EQ(Text(NodeText(root.Get())), expected);
    UniqueBstr name;
    EXPECT_EQ(AttributeByName(root.Get(), L"name", name), S_OK);
    EXPECT_EQ(Text(name), expected);
  }
}

TEST(XmlTextTest, LoadsTextAndRefusesNonsense) {
  ComPtr<IXMLDOMDocument> document = LoadXmlText(L"<ignorelist><a/></ignorelist>");
  ASSERT_NE(document, nullptr);
  EXPECT_NE(SelectRoot(document.Get(), L"ignorelist"), nullptr);
  EXPECT_NE(LoadXmlText(L"\xfeff<a/>"), nullptr);
  EXPECT_EQ(LoadXmlText(L""), nullptr);
  EXPECT_EQ(LoadXmlText({}), nullptr);
  EXPECT_EQ(LoadXmlText(L"<a>"), nullptr);
}

class XmlWalkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    document_ = LoadXmlText(
        L"<doc>\n"
        L"  <outer>\n"
        L"    <vedad result=\"0\" msg=\"first\" Name=\"N\" empty=\"\">\n"
        L"      <!-- note --><?pi x?>\n"
        L"      <soft name=\"a\">  lead <b>x</b> <c>y</c> trail  </soft>\n"
        L"      text\n"
        L"      <soft name=\"b\"><![CDATA[ raw ]]></soft>\n"
        L"      <blank>   </blank>\n"
        L"    </vedad>\n"
        L"  </outer>\n"
        L"  <vedad msg=\"second\"/>\n"
        L"</doc>");
    ASSERT_NE(document_, nullptr);
    root_ = SelectRoot(document_.Get(), L"vedad");
    ASSERT_NE(root_, nullptr);
  }
  ComPtr<IXMLDOMDocument> document_;
  ComPtr<IXMLDOMNode> root_;
};

TEST_F(XmlWalkTest, SelectRootFindsTheFirstMatchAnywhere) {
  UniqueBstr msg;
  EXPECT_EQ(AttributeByName(root_.Get(), L"msg", msg), S_OK);
  EXPECT_EQ(Text(msg), L"first");
  EXPECT_EQ(SelectRoot(document_.Get(), L"VEDAD"), nullptr);
  EXPECT_EQ(SelectRoot(document_.Get(), L"missing"), nullptr);
  EXPECT_EQ(SelectRoot(nullptr, L"vedad"), nullptr);
  EXPECT_NE(SelectRoot(root_.Get(), L"b"), nullptr);
}

TEST_F(XmlWalkTest, AttributesInDocumentOrderAndByExactName) {
  std::vector<std::wstring> seen;
  ForEachAttribute(root_.Get(), [&](BSTR name, BSTR text) {
    seen.push_back(std::wstring(TextToNul(name)) + L"=" + std::wstring(TextToNul(text)));
  });
  EXPECT_EQ(seen, (std::vector<std::wstring>{L"result=0", L"msg=first", L"Name=N", L"empty="}));

  int visited = 0;
  EXPECT_EQ(ForEachAttribute(root_.Get(),
                             [&](BSTR, BSTR) { return ++visited < 2 ? S_OK : S_FALSE; }),
            S_FALSE);
  EXPECT_EQ(visited, 2);

  UniqueBstr value;
  EXPECT_EQ(AttributeByName(root_.Get(), L"empty", value), S_OK);
  EXPECT_TRUE(value);  // present and empty is not absent
  EXPECT_EQ(value.Length(), 0u);
  EXPECT_EQ(AttributeByName(root_.Get(), L"name", value), S_FALSE);
  EXPECT_FALSE(value);
  EXPECT_EQ(AttributeByName(root_.Get(), L"absent", value), S_FALSE);
  EXPECT_EQ(AttributeByName(nullptr, L"msg", value), S_FALSE);
}

TEST_F(XmlWalkTest, ChildWalksCountsAndTexts) {
  std::vector<std::wstring> elements;
  ForEachChildElement(root_.Get(), [&](IXMLDOMNode* child) {
    elements.push_back(Text(NodeName(child)) + L":" + Text(NodeText(child)));
  });
  // Text is the trimmed text of all descendants; CDATA stays verbatim.
  EXPECT_EQ(elements,
            (std::vector<std::wstring>{L"soft:lead x y trail", L"soft: raw ", L"blank:"}));

  std::vector<std::wstring> nodes;
  ForEachChildNode(root_.Get(),
                   [&](IXMLDOMNode* child) { nodes.push_back(Text(NodeName(child))); });
  EXPECT_EQ(nodes,
            (std::vector<std::wstring>{L"#comment", L"pi", L"soft", L"#text", L"soft", L"blank"}));
  EXPECT_EQ(ChildNodeCount(root_.Get()), 6);

  // A failing action stops the walk and its code comes back.
  int visited = 0;
  EXPECT_EQ(ForEachChildElement(root_.Get(),
                                [&](IXMLDOMNode*) {
                                  ++visited;
                                  return E_OUTOFMEMORY;
                                }),
            E_OUTOFMEMORY);
  EXPECT_EQ(visited, 1);

  ComPtr<IXMLDOMNode> blank = SelectRoot(root_.Get(), L"blank");
  EXPECT_EQ(ChildNodeCount(blank.Get()), 0);  // white space alone forms no node
  EXPECT_EQ(ChildNodeCount(nullptr), 0);
  EXPECT_FALSE(NodeText(nullptr));
}

TEST(NameMatchTest, ExactOrLoweredFirst) {
  EXPECT_TRUE(SameText(L"name", L"name"));
  EXPECT_FALSE(SameText(L"Name", L"name"));
  EXPECT_TRUE(SameText(nullptr, L""));
  EXPECT_TRUE(LoweredNameEquals(L"VER_FilePath", L"ver_filepath"));
  EXPECT_TRUE(LoweredNameEquals(L"\x00c4Z", L"\x00e4z"));  // locale lower-casing, not ASCII
  EXPECT_FALSE(LoweredNameEquals(L"name", L"Name"));
  // Past the plain names: the platform comparison decides.
  EXPECT_TRUE(SameText(L"\x540d\x5b57", L"\x540d\x5b57"));
  EXPECT_FALSE(SameText(L"a-b", L"ab"));
  EXPECT_FALSE(SameText(L"\x00e4", L"\x00c4"));
  const std::wstring longName(100, L'N');
  EXPECT_TRUE(LoweredNameEquals(longName.c_str(), std::wstring(100, L'n').c_str()));
  EXPECT_FALSE(LoweredNameEquals(longName.c_str(), std::wstring(99, L'n').c_str()));
}

TEST(NumberTextTest, ReadsAsTheRuntimeDoes) {
  EXPECT_EQ(TextToInt(L" 12abc"), 12);
  EXPECT_EQ(TextToInt(L"abc"), 0);
  EXPECT_EQ(TextToInt(L"-3"), -3);
  EXPECT_EQ(TextToInt(nullptr), 0);
  EXPECT_EQ(TextToInt64(L" 12345678901x"), 12345678901LL);
  EXPECT_EQ(TextToInt64(nullptr), 0);
  // Plain decimal text is read without the runtime, to the same value.
  for (const wchar_t* text : {L"0", L"-0", L"+7", L"-", L"+", L"", L"007", L"123456789012345678",
                              L"1234567890123456789", L"99999999999999999999", L"-9223372036854775808",
                              L"12 ", L"1\x0661", L"\xff11", L"--1", L"+-1"}) {
    EXPECT_EQ(TextToInt64(text), _wtoi64(text)) << ::testing::PrintToString(std::wstring(text));
  }
}

}  // namespace
}  // namespace tessary
