// The streaming read of the catalog files against the document parser's:
// the same files, loaded both ways in this process, must give the same
// tables, counters and main types. The files are the generator's, each
// rule's edge cases, and deterministic mutations of them.
#include <gtest/gtest.h>
#include <wrl/client.h>

#include <cstdint>
#include <string>
#include <vector>

#include "catalog/CatalogFileReader.h"
#include "catalog/KaSoftwareCatelog.h"
#include "hostlink/HostReference.h"
#include "host/Host.h"
#include "support/CatalogXml.h"
#include "support/TestSupport.h"

namespace tessary::testing {
namespace {

using Microsoft::WRL::ComPtr;

// Text that tells an absent string from an empty one.
std::wstring Shown(BSTR text) {
  return text ? L"'" + std::wstring(text, ::SysStringLen(text)) + L"'" : L"<null>";
}

template <typename Getter>
std::wstring Field(Getter&& get) {
  BSTR text = nullptr;
  const HRESULT hr = get(&text);
  std::wstring shown = std::to_wstring(hr) + L":" + Shown(text);
  ::SysFreeString(text);
  return shown;
}

// Everything a load publishes, as one text per catalog.
std::wstring Published(const KaSoftwareCatelog& catalog) {
  std::wstring out;
  for (int type = kaSoftInnerType_all; type <= kaSoftInnerType_popularity; ++type) {
    LONG count = 0;
    const_cast<KaSoftwareCatelog&>(catalog).GetSoftCount(static_cast<kaSoftInnerType>(type),
                                                         &count);
    out += L"count " + std::to_wstring(count) + L"\n";
  }
  for (const auto& [name, entry] : *catalog.Names()) {
    out += L"entry " + Shown(name.Get()) + L"\n";
    out += L"  " + Field([&](BSTR* t) { return entry->GetSoftName(t); });
    out += L" " + Field([&](BSTR* t) { return entry->GetDisplayName(t); });
    out += L" " + Field([&](BSTR* t) { return entry->GetCompany(t); });
    out += L" " + Field([&](BSTR* t) { return entry->GetMainType(t); });
    out += L" " + Field([&](BSTR* t) { return entry->GetSoftPic(t); });
    out += L" " + Field([&](BSTR* t) { return entry->GetDescription(t); });
    DWORD flags = 0;
    LONGLONG mark = 0, judge = 0, downloads = 0;
    entry->GetSoftType(&flags);
    entry->GetStatInfo(&mark, &judge, &downloads);
    out += L" flags " + std::to_wstring(flags) + L" " + std::to_wstring(mark) + L"/" +
           std::to_wstring(judge) + L"/" + std::to_wstring(downloads) + L"\n";
    LONG versions = 0;
    entry->GetVersionCount(&versions);
    for (LONG i = 0; i < versions; ++i) {
      ComPtr<IKaSoftwareVerItem> item;
      entry->GetVerItemByItem(i, item.GetAddressOf());
      _kaSoftVersionAttribute kind{};
      item->GetVerAttr(&kind);
      out += L"  version " + Field([&](BSTR* t) { return item->GetVersion(t); });
      out += L" " + Field([&](BSTR* t) { return item->GetDisplayVersion(t); });
      out += L" " + std::to_wstring(kind);
      out += L" " + Field([&](BSTR* t) { return item->GetWhatsnew(t); }) + L"\n";
    }
  }
  for (const auto& [key, name] : catalog.RegistryKeys()) {
    out += L"key " + Shown(key.Get()) + L" " + Shown(name.Get()) + L"\n";
  }
  if (const KaSoftMainType* types = catalog.MainTypes()) {
    for (const auto& [id, name] : types->Table()) {
      out += L"type " + Shown(id.Get()) + L" " + Shown(name.Get()) + L"\n";
    }
  } else {
    out += L"no main types\n";
  }
  return out;
}

// --- Inputs ---------------------------------------------------------------------

const char kChinese[] = "\xe4\xb8\xad\xe6\x96\x87\xe5\x90\x8d";  // three CJK characters

std::vector<std::string> CatalogSeeds() {
  const std::string types =
      "<main_type_list>\n  <type id='t1'><name>Tools</name></type>\n"
      "  <type id='T1'><NAME>Upper</NAME></type>\n  <type id='t1'><name>Second</name></type>\n"
      "  <type><name>No id</name></type>\n  <type id='t2'/>\n"
      "  <type id='t3'><other>x</other><Name> Spaced  name </Name><name>late</name></type>\n"
      "</main_type_list>\n";
  auto doc = [](const std::string& body) {
    return "<?xml version='1.0' encoding='utf-8'?>\n<vedad>\n" + body + "</vedad>\n";
  };
  return {
      GeneratedCatalogXml(12, 3, 4),
      doc(types +
          "<SOFTWARE_LIST>\n<!-- a comment counts -->\n"
          "<soft main_type='t1'><Name>Foo</Name></soft>\n"
          "<soft main_type='T1' is_popularity=''><name>foo</name></soft>\n"
          "<soft main_type='none' is_popularity='1'><name>Bar</name></soft>\n"
          "<?pi counts too?>\n<soft main_type=''><name></name></soft>\n"
          "<soft><displayname>no name</displayname></soft>\n</SOFTWARE_LIST>\n"),
      doc("<software_list><s><name>a</name></s></software_list>\n" + types),
      doc(types +
          "<software_list>\n<s is_main_recommend='' is_onekey_install='0' is_popularity='00'"
          " totaljudgeofmark='12abc' totaljudgeoftimes='' totaldownloadtimes='5000000000'>"
          "<name>a</name></s>\n<s is_main_recommend='0' is_onekey_install='yes'"
          " totaljudgeofmark='-7'><name>b</name></s>\n<s IS_MAIN_RECOMMEND='1' Is_Popularity='1'"
          " TotalDownloadTimes='9' Main_Type='t1'><name>d</name></s>\n</software_list>\n"),
      doc(types +
          "<software_list><s main_type='t3'>\n"
          "  <name>Old</name>\n  <NAME>MixedCase</NAME>\n  <displayname>Shown</displayname>\n"
          "  <company>Maker</company><pic>p.png</pic><description>  d  e  </description>\n"
          "  <version version='2.0'/>\n  <version displayver='no version attribute'/>\n"
          "  <version version='3.0' displayver='Three' ver_attribute='1'>"
          "<WhatsNew>ignored</WhatsNew><whatsnew> fixes </whatsnew><whatsnew>late</whatsnew>"
          "</version>\n  <version version='2.0' ver_attribute='true'/>\n"
          "  <version Version='4.0'/>\n  <version version='' displayver=''><whatsnew/></version>\n"
          "  <other><name>nested is not the name</name></other>\n"
          "</s></software_list>\n"),
      doc("<main_type_list><t id='a'><name>First list</name></t></main_type_list>\n"
          "<software_list><s main_type='a'><name>one</name></s></software_list>\n"
          "<main_type_list><t id='a'><name>Second list</name></t></main_type_list>\n"
          "<software_list><s main_type='a' is_popularity='1'><name>two</name></s>"
          "<s main_type='a'><name>ONE</name></s></software_list>\n"
          "<other><software_list><s><name>ignored</name></s></software_list></other>\n"),
      "<?xml version='1.0' encoding='utf-8'?>\n<outer><skip/><inner><vedad>" + types +
          "<software_list><s main_type='t1'><name>" + kChinese + "</name><company>" + kChinese +
          " \xc3\x84rger</company></s></software_list></vedad><vedad><software_list>"
          "<s><name>second root</name></s></software_list></vedad></inner></outer>\n",
      "<?xml version='1.0' encoding='utf-8'?>\n<other/>\n",
      "not xml at all",
      "",
  };
}

std::vector<std::string> RegistryKeySeeds() {
  auto doc = [](const std::string& root, const std::string& body) {
    return "<?xml version='1.0' encoding='utf-8'?>\n<vedad " + root + ">\n" + body + "</vedad>\n";
  };
  const std::string body =
      "<soft name='Foo'><regkey>KeyA</regkey><start_menu></start_menu><regkey> spaced </regkey>"
      "</soft>\n<soft name='Bar'><regkey>KeyA</regkey><regkey>keya</regkey><start_menu/></soft>\n"
      "<soft><regkey>nameless</regkey></soft>\n<soft NAME='x'><regkey>upper name</regkey></soft>\n"
      "<soft name=''>\n  <regkey>empty name</regkey>\n  <!-- c -->\n  <?pi x?>\n</soft>\n"
      "<soft name='\xc3\x84Z'><regkey>" +
      std::string(kChinese) + "</regkey></soft>\n";
  return {
      GeneratedRegistryKeyXml(12),
      doc("result='0' msg='ok'", body),
      doc("result='-1'", body),
      doc("result='1'", body),
      doc("result='abc' Result='1'", body),
      doc("msg='x'", body),
  };
}

// Deterministic pseudo-random numbers, the same on every run.
class Lcg {
 public:
  explicit Lcg(uint32_t seed) : state_(seed * 2654435761u + 1) {}
  uint32_t Next(uint32_t bound) {
    state_ = state_ * 1664525u + 1013904223u;
    return bound ? (state_ >> 8) % bound : 0;
  }

 private:
  uint32_t state_;
};

// A random position just after a '>' (or the start), where markup may go.
size_t AfterTag(const std::string& xml, Lcg& random) {
  std::vector<size_t> positions;
  for (size_t i = 0; i < xml.size(); ++i) {
    if (xml[i] == '>') positions.push_back(i + 1);
  }
  return positions.empty() ? 0 : positions[random.Next(static_cast<uint32_t>(positions.size()))];
}

// A random start tag's name: [begin, end) after its '<'.
bool StartTag(const std::string& xml, Lcg& random, size_t& begin, size_t& end) {
  std::vector<size_t> starts;
  for (size_t i = 0; i + 1 < xml.size(); ++i) {
    if (xml[i] == '<' && std::isalpha(static_cast<unsigned char>(xml[i + 1]))) {
      starts.push_back(i + 1);
    }
  }
  if (starts.empty()) return false;
  begin = starts[random.Next(static_cast<uint32_t>(starts.size()))];
  end = xml.find_first_of(" \t\n/>", begin);
  return end != std::string::npos;
}

std::string Mutated(std::string xml, Lcg& random) {
  size_t begin = 0;
  size_t end = 0;
  switch (random.Next(15)) {
    case 0:  // cut anywhere
      xml.resize(random.Next(static_cast<uint32_t>(xml.size() + 1)));
      break;
    case 1:
      xml.insert(AfterTag(xml, random), "<!-- note -->");
      break;
    case 2:
      xml.insert(AfterTag(xml, random), random.Next(2) ? "<?pi data?>" : "<?name x?>");
      break;
    case 3:  // mixed content
      xml.insert(AfterTag(xml, random), random.Next(2) ? "text<b>bold</b>" : "<b>x</b>");
      break;
    case 4:
      xml.insert(AfterTag(xml, random), random.Next(2) ? "  loose text  " : " \n\t ");
      break;
    case 5:
      if (StartTag(xml, random, begin, end)) {
        xml.insert(end, random.Next(2) ? " xml:space='preserve'" : " xml:space='default'");
      }
      break;
    case 6:  // one tag name in mixed case, start and end alike
      if (StartTag(xml, random, begin, end)) {
        const std::string name = xml.substr(begin, end - begin);
        std::string mixed = name;
        for (size_t i = 0; i < mixed.size(); i += 2) {
          mixed[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(mixed[i])));
        }
        for (const std::string prefix : {"<", "</"}) {
          for (size_t at = 0; (at = xml.find(prefix + name, at)) != std::string::npos;) {
            const char next = xml[at + prefix.size() + name.size()];
            if (next == '>' || next == ' ' || next == '/' || next == '\n') {
              xml.replace(at + prefix.size(), name.size(), mixed);
            }
            at += prefix.size() + name.size();
          }
        }
      }
      break;
    case 7:  // duplicate or drop an attribute
      if (StartTag(xml, random, begin, end) && xml[end] == ' ') {
        const size_t close = xml.find_first_of("'\"", xml.find('=', end));
        const size_t stop = close == std::string::npos ? close : xml.find(xml[close], close + 1);
        if (stop != std::string::npos && stop < xml.find('>', end)) {
          const std::string attribute = xml.substr(end, stop + 1 - end);
          if (random.Next(2)) {
            xml.insert(stop + 1, attribute);
          } else {
            xml.erase(end, stop + 1 - end);
          }
        }
      }
      break;
    case 8: {  // a text as CDATA, whole or in part
      const size_t at = AfterTag(xml, random);
      const size_t next = xml.find('<', at);
      if (next != std::string::npos && next > at) {
        const size_t split = at + random.Next(static_cast<uint32_t>(next - at));
        xml.insert(next, "]]>");
        xml.insert(split, "<![CDATA[");
      }
      break;
    }
    case 9: {
      const size_t declaration = xml.rfind("?>", 60);
      xml.insert(declaration == std::string::npos ? 0 : declaration + 2,
                 "<!DOCTYPE vedad [<!ENTITY e 'entity'>]>");
      break;
    }
    case 10:  // blanks and line ends inside an attribute value
      for (size_t at = xml.find("='", random.Next(static_cast<uint32_t>(xml.size())));
           at != std::string::npos; at = std::string::npos) {
        xml.insert(at + 2, random.Next(2) ? " " : "\n");
      }
      break;
    case 11:
      if (StartTag(xml, random, begin, end)) xml.insert(end, " xmlns='urn:x'");
      break;
    case 12: {  // references in a text
      const size_t at = AfterTag(xml, random);
      xml.insert(at, random.Next(2) ? "&amp;&#32;" : "&#x20;&lt;");
      break;
    }
    case 13:  // a character no XML document may hold
      xml.insert(AfterTag(xml, random), random.Next(2) ? std::string(1, '\x01') : std::string(1, '\0'));
      break;
    default: {  // two mutations at once
      xml = Mutated(std::move(xml), random);
      xml = Mutated(std::move(xml), random);
      break;
    }
  }
  return xml;
}

std::wstring Wide(const std::string& utf8) {
  std::wstring text(utf8.size(), L'\0');
  const int length = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                           text.data(), static_cast<int>(text.size()));
  text.resize(length > 0 ? length : 0);
  return text;
}

std::string WithEncoding(std::string xml, const char* name) {
  const size_t at = xml.find("encoding='utf-8'");
  if (at != std::string::npos) {
    xml.replace(at, 16, std::string("encoding='") + name + "'");
  } else if (xml.find("encoding=\"utf-8\"") != std::string::npos) {
    xml.replace(xml.find("encoding=\"utf-8\""), 16, std::string("encoding=\"") + name + "\"");
  }
  return xml;
}

// The same document in UTF-16 (with its mark) or in a Chinese code page.
std::string Encoded(const std::string& utf8, int which) {
  if (which == 0) {
    const std::wstring text = Wide(WithEncoding(utf8, "utf-16"));
    std::string bytes = "\xff\xfe";
    bytes.append(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
    return bytes;
  }
  const std::wstring text = Wide(WithEncoding(utf8, which == 1 ? "gbk" : "gb2312"));
  std::string bytes(text.size() * 2, '\0');
  const int length = ::WideCharToMultiByte(936, 0, text.data(), static_cast<int>(text.size()),
                                           bytes.data(), static_cast<int>(bytes.size()), nullptr,
                                           nullptr);
  bytes.resize(length > 0 ? length : 0);
  return bytes;
}

struct Case {
  std::string label;
  std::string catalog;  // empty: no catalog file
  std::string keys;     // empty: no registry-key file
};

std::vector<Case> Cases() {
  std::vector<Case> cases;
  const auto catalogs = CatalogSeeds();
  const auto keyFiles = RegistryKeySeeds();
  Lcg random(12);
  for (size_t i = 0; i < catalogs.size(); ++i) {
    const std::string& keys = keyFiles[i % keyFiles.size()];
    const std::string name = "seed " + std::to_string(i);
    cases.push_back({name, catalogs[i], keys});
    for (int e = 0; e < 3; ++e) {
      cases.push_back({name + " encoding " + std::to_string(e), Encoded(catalogs[i], e),
                       Encoded(keys, e)});
    }
    for (int m = 0; m < 24; ++m) {
      cases.push_back({name + " mutation " + std::to_string(m), Mutated(catalogs[i], random),
                       Mutated(keyFiles[(i + m) % keyFiles.size()], random)});
    }
  }
  return cases;
}

// --- The comparison -------------------------------------------------------------

class StreamingLoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_HRESULT_SUCCEEDED(host_.Start());
    SetHostReference(host_.Services());
  }
  void TearDown() override {
    ClearHostReference();
    host_.Shutdown();
  }

  // The files of `c` as the host's data files kind 1 and 2 (absent when empty).
  void Serve(const std::string& catalog, const std::string& keys) {
    host_.Data().SetDataFilePath(1, Write(L"catalog.xml", catalog));
    host_.Data().SetDataFilePath(2, Write(L"keys.xml", keys));
  }
  std::wstring Write(const wchar_t* name, const std::string& bytes) {
    const std::wstring path = dir_.Join(name);
    ::DeleteFileW(path.c_str());
    if (!bytes.empty()) {
      EXPECT_TRUE(WriteFileBytes(path, bytes));
    }
    return path;
  }

  host::Host host_;
  TempDir dir_;
};

TEST_F(StreamingLoadTest, BothParsersPublishTheSameCatalog) {
  // Half the cases load over a catalog that already has main types, which
  // entries before a list (or in a file without one) resolve against.
  const std::string standing =
      "<vedad><main_type_list><t id='t1'><name>Standing</name></t></main_type_list></vedad>";
  int streamed = 0;
  int plainStreamed = 0;
  const auto cases = Cases();
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    ComPtr<KaSoftwareCatelog> document;
    ComPtr<KaSoftwareCatelog> streaming;
    ASSERT_HRESULT_SUCCEEDED(MakeComObject(document));
    ASSERT_HRESULT_SUCCEEDED(MakeComObject(streaming));
    if (i % 2) {
      Serve(standing, "");
      ASSERT_EQ(document->LoadWith(XmlReaderChoice::Document), S_FALSE);
      ASSERT_EQ(streaming->LoadWith(XmlReaderChoice::Document), S_FALSE);
    }
    Serve(c.catalog, c.keys);
    ASSERT_EQ(document->LoadWith(XmlReaderChoice::Document), S_FALSE) << c.label;
    ASSERT_EQ(streaming->LoadWith(XmlReaderChoice::Streaming), S_FALSE) << c.label;
    EXPECT_EQ(Published(*document.Get()), Published(*streaming.Get())) << c.label;

    // How many files the streaming reader settled itself.
    CatalogContent content(nullptr);
    RegistryKeyTable keys;
    const bool catalogStreamed =
        !c.catalog.empty() && StreamCatalogFile(dir_.Join(L"catalog.xml").c_str(), content) == S_OK;
    const bool keysStreamed =
        !c.keys.empty() && StreamRegistryKeyFile(dir_.Join(L"keys.xml").c_str(), keys) == S_OK;
    streamed += catalogStreamed + keysStreamed;
    if (c.label.find(' ') == c.label.rfind(' ')) plainStreamed += catalogStreamed + keysStreamed;
  }
  std::printf("  %zu cases, %d of %zu files read by the streaming reader\n", cases.size(),
              streamed, cases.size() * 2);
  // The unmutated, well-formed seeds all stream: the comparison is not vacuous.
  EXPECT_GE(plainStreamed, static_cast<int>(CatalogSeeds().size()) * 2 - 3);
}

}  // namespace
}  // namespace tessary::testing
