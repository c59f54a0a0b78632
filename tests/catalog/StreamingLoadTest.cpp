// The catalog rules are written once over two node sources
// (CatalogGrammar.h); what is left to guard is the streaming source's one
// promise: it refuses every node it cannot render exactly as the document
// source would. So the same files, loaded through each source, must publish
// the same tables, counters and main types, and the plain files hosts ship
// must not be refused. The files are the generator's, each rule's edge
// cases, shapes the document parser refuses, every cut of a small file, and
// deterministic mutations of them all, read in child processes (see The
// comparison).
#include <gtest/gtest.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "catalog/CatalogFileReader.h"
#include "catalog/KaSoftwareCatelog.h"
#include "common/Unique.h"
#include "hostlink/HostReference.h"
#include "host/Host.h"
#include "support/CatalogState.h"
#include "support/CatalogXml.h"
#include "support/TestSupport.h"

namespace tessary::testing {
namespace {

using Microsoft::WRL::ComPtr;


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
  std::optional<std::string> catalog;  // none: no catalog file
  std::optional<std::string> keys;     // none: no registry-key file
  // A plain file of the shape hosts ship: the streaming source must not refuse it,
  // or the comparison says nothing of that source.
  bool plain = false;
};

std::vector<Case> SeedCases() {
  std::vector<Case> cases;
  const auto catalogs = CatalogSeeds();
  const auto keyFiles = RegistryKeySeeds();
  Lcg random(12);
  for (size_t i = 0; i < catalogs.size(); ++i) {
    const std::string& keys = keyFiles[i % keyFiles.size()];
    const std::string name = "seed " + std::to_string(i);
    // The last two seeds are not XML.
    cases.push_back({name, catalogs[i], keys, i + 2 < catalogs.size()});
    for (int e = 0; e < 3; ++e) {
      cases.push_back({name + " encoding " + std::to_string(e), Encoded(catalogs[i], e),
                       Encoded(keys, e)});
    }
    for (int m = 0; m < 24; ++m) {
      cases.push_back({name + " mutation " + std::to_string(m), Mutated(catalogs[i], random),
                       Mutated(keyFiles[(i + m) % keyFiles.size()], random)});
    }
  }
  cases.push_back({"no files", std::nullopt, std::nullopt});
  return cases;
}

// Every rule of both readers in a few hundred bytes: what the cut and
// byte-level cases start from.
std::string SmallCatalog() {
  return "<?xml version='1.0' encoding='utf-8'?>\n<vedad>\n<main_type_list><t id='1'><name>Tools"
         "</name></t></main_type_list>\n<software_list>\n<s main_type='1' is_popularity='1'"
         " totaljudgeofmark='7'><name>Foo</name><company>M\xc3\xa4ker</company>"
         "<version version='1.0' displayver='One' ver_attribute='1'><whatsnew>fixes &amp; more"
         "</whatsnew></version></s>\n<!-- c -->\n<s><name>Bar</name><version version='2'/></s>\n"
         "</software_list>\n</vedad>\n";
}
std::string SmallKeys() {
  return "<?xml version='1.0'?>\n<vedad result='0'><soft name='Foo'><regkey>KeyA</regkey>"
         "<regkey>K\xc3\xa4y</regkey></soft><soft name='Bar'><regkey>KeyB</regkey></soft></vedad>\n";
}

std::string ReplacedAll(std::string text, std::string_view from, std::string_view to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

using Replacements = std::vector<std::pair<std::string, std::string>>;

// The small catalog and registry-key file with each edit made everywhere in both.
Case EditedSmallCase(std::string label, const Replacements& replacements) {
  std::string catalog = SmallCatalog();
  std::string keys = SmallKeys();
  for (const auto& [from, to] : replacements) {
    catalog = ReplacedAll(catalog, from, to);
    keys = ReplacedAll(keys, from, to);
  }
  return {std::move(label), std::move(catalog), std::move(keys)};
}

// UTF-16 as written by hand, unit by unit, so that it may be broken.
std::string Utf16Bytes(std::wstring_view text, bool bigEndian = false, bool mark = true) {
  std::string bytes;
  if (mark) bytes = bigEndian ? "\xfe\xff" : "\xff\xfe";
  for (const wchar_t unit : text) {
    const char low = static_cast<char>(unit & 0xff);
    const char high = static_cast<char>(unit >> 8);
    bytes += bigEndian ? high : low;
    bytes += bigEndian ? low : high;
  }
  return bytes;
}

// Shapes the document parser refuses, reads its own way, or that the
// streaming reader is known to get wrong or not to survive, each in files
// that are otherwise plain.
std::vector<Case> FamilyCases() {
  const std::string catalog = SmallCatalog();
  const std::string keys = SmallKeys();
  std::vector<Case> cases;
  // Each edit replaces every occurrence in both files.
  const std::vector<std::pair<std::string, Replacements>> edits = {
          {"bare ampersand", {{"Foo<", "AT&T<"}}},
          {"undefined entity", {{"Foo<", "a&nbsp;b<"}, {"'Foo'", "'a&e;b'"}}},
          {"reference without its semicolon", {{"&amp;", "&amp"}}},
          {"latin-1 byte", {{"Foo", "Caf\xe9"}}},
          {"overlong form", {{"Foo", "F\xc0\xafo"}}},
          {"overlong three-byte form", {{"Foo", "F\xe0\x80\xafo"}}},
          {"encoded surrogate", {{"Foo", "F\xed\xa0\x80o"}}},
          {"past U+10FFFF", {{"Foo", "F\xf4\x90\x80\x80o"}}},
          {"lone continuation byte", {{"Tools", "To\x80ls"}, {"KeyB", "Ke\x80yB"}}},
          {"sequence cut by markup", {{"Tools<", "Tools\xe4\xb8<"}, {"KeyA<", "KeyA\xe4<"}}},
          {"U+FFFE", {{"Foo", "F\xef\xbf\xbeo"}}},
          {"U+FFFF in a value", {{"'One'", "'O\xef\xbf\xbf'"}, {"'Bar'", "'B\xef\xbf\xbf'"}}},
          {"beyond the basic plane", {{"Foo", "F\xf0\x9f\x98\x80o"}}},
          {"U+FFFD written", {{"Foo", "F\xef\xbf\xbdo"}}},
          {"character reference", {{"Foo<", "F&#111;o<"}}},
          {"element name starting with a digit", {{"<!-- c -->", "<1x/>"}, {"</soft><soft", "</soft><1x/><soft"}}},
          {"prefixed name", {{"<!-- c -->", "<a:x/>"}, {"<regkey>KeyB", "<a:b/><regkey>KeyB"}}},
          {"prefixed attribute", {{"<s>", "<s a:b='1'>"}, {"<soft name='Bar'", "<soft a:b='1' name='Bar'"}}},
          {"non-ASCII element name", {{"<!-- c -->", "<\xc3\xa4x/>"}}},
          {"no blank between attributes",
           {{"version='1.0' displayver", "version='1.0'displayver"}, {"<vedad result", "<vedad a='1'result"}}},
          {"no blank before a flag", {{"main_type='1' is_popularity", "main_type='1'is_popularity"}}},
          {"repeated attribute", {{"is_popularity='1'", "is_popularity='1' is_popularity='0'"},
                                  {"name='Foo'", "name='Foo' name='Baz'"}}},
          {"capital declaration", {{"<?xml version", "<?XML version"}}},
          {"declaration without a blank", {{"<?xml version", "<?xmlversion"}}},
          {"version 1.1", {{"version='1.0'?>", "version='1.1'?>"}, {"version='1.0' enc", "version='1.1' enc"}}},
          {"blank before the declaration", {{"<?xml version", " <?xml version"}}},
          {"comment before the declaration", {{"<?xml version", "<!-- c --><?xml version"}}},
          {"second declaration", {{"<!-- c -->", "<?xml version='1.0'?>"}, {"<soft name='Bar'", "<?xml version='1.0'?><soft name='Bar'"}}},
          {"reserved instruction", {{"<!-- c -->", "<?xml-stylesheet href='a'?>"}}},
          {"utf-16 declared over utf-8", {{"encoding='utf-8'", "encoding='utf-16'"}, {"'1.0'?>", "'1.0' encoding='utf-16'?>"}}},
          {"latin-1 declared", {{"encoding='utf-8'", "encoding='iso-8859-1'"}, {"'1.0'?>", "'1.0' encoding='iso-8859-1'?>"}}},
          {"latin-1 declared and written",
           {{"encoding='utf-8'", "encoding='iso-8859-1'"}, {"\xc3\xa4", "\xe4"}}},
          {"windows-1252 declared", {{"encoding='utf-8'", "encoding='windows-1252'"}}},
          {"ascii declared", {{"encoding='utf-8'", "encoding='us-ascii'"}}},
          {"utf-8 in capitals", {{"encoding='utf-8'", "encoding='UTF-8'"}}},
          {"utf8 without its hyphen", {{"encoding='utf-8'", "encoding='utf8'"}}},
          {"standalone", {{"encoding='utf-8'", "encoding='utf-8' standalone='yes'"}, {"'1.0'?>", "'1.0' standalone='no' ?>"}}},
          {"declaration in double quotes", {{"version='1.0' encoding='utf-8'", "version=\"1.0\" encoding=\"utf-8\""}}},
          {"end of a CDATA section in text", {{"fixes &amp; more", "fixes ]]> more"}, {"KeyB", "Key]]>B"}}},
          {"double hyphen in a comment", {{"<!-- c -->", "<!-- c -- d -->"}}},
          {"comment ending in three hyphens", {{"<!-- c -->", "<!-- c --->"}}},
          {"end tag of another element", {{"Tools</name>", "Tools</nam>"}, {"KeyB</regkey>", "KeyB</regke>"}}},
          {"text after the root", {{"</vedad>\n", "</vedad>\ntail"}}},
          {"element after the root", {{"</vedad>\n", "</vedad>\n<vedad/>"}}},
          {"document type", {{"\n<vedad", "\n<!DOCTYPE vedad>\n<vedad"}}},
          {"line ends of two characters", {{"\n", "\r\n"}}},
          {"carriage returns inside texts", {{"fixes &amp; more", "fixes\r\n&amp;\rmore"}, {"KeyB", "Key\r\nB"}}},
          {"tab inside a text", {{"fixes &amp; more", "fixes\t&amp; more"}, {"KeyB", "Key\tB"}}},
          {"quotes inside texts and values", {{"Foo<", "F\"o'o<"}, {"'One'", "'O\"n\"e'"}, {"'Foo'", "\"F'oo\""}}},
          {"predefined entities everywhere", {{"Foo<", "&lt;F&gt;&quot;o&apos;o<"}, {"'One'", "'&lt;One&amp;'"}, {"KeyB", "K&amp;B"}}},
          {"CDATA section", {{"fixes &amp; more", "<![CDATA[fixes & <more>]]>"}, {"KeyB", "<![CDATA[KeyB]]>"}}},
          {"instruction inside an entry", {{"<name>Bar", "<?note x?><name>Bar"}}},
          {"blanks around attribute signs", {{"main_type='1'", "main_type = '1'"}, {"result='0'", "result =\n'0'"}}},
          {"blank inside an end tag", {{"</vedad>", "</vedad \n>"}}},
      };
  for (const auto& [label, replacements] : edits) cases.push_back(EditedSmallCase(label, replacements));

  // Instructions among an entry's children: one no rule names is passed over
  // by both sources (and must not cost the streaming source the file); one
  // named like a field is matched by name, and its text is for the document
  // parser to give.
  const auto instructions = [&](const std::string& target) {
    std::string edited = ReplacedAll(catalog, "<name>Bar", "<?" + target + " x?><name>Bar");
    edited = ReplacedAll(edited, "<whatsnew>", "<?" + target + " y?><whatsnew>");
    edited = ReplacedAll(edited, "<name>Tools", "<?" + target + " z?><name>Tools");
    return edited;
  };
  cases.push_back({"instructions no rule names", instructions("note"), keys, true});
  for (const std::string target : {"name", "NAME", "Company", "version", "whatsnew", "WhatsNew"}) {
    cases.push_back({"instructions named " + target, instructions(target), keys});
  }

  // Files that end before any element: empty, a byte-order mark, a
  // declaration or part of one, with or without comments.
  for (const char* whole :
       {"", "\xef\xbb\xbf", "\xff\xfe", "\xfe\xff", "<?xml version='1.0'?>", "\xef\xbb\xbf<?xml version='1.0'?>",
        "<?xml version='1.0' encoding='utf-8'?>\n", "<?x", "<?xm", "<?xml", "<?xml ", "\xef\xbb\xbf<?xml",
        "<?xml version='1.0'?>\n<!-- only a comment -->\n", "<?xml version='1.0'?><?pi x?>", "<!-- c -->",
        "<?xml version='1.0'?><", "<", "   \n", "<vedad", "<vedad>", "<vedad/>", "<vedad/>\n<!-- after -->"}) {
    cases.push_back({"whole file '" + std::string(whole) + "'", std::string(whole), std::string(whole)});
  }
  cases.push_back({"utf-16 declaration alone", Utf16Bytes(L"<?xml version='1.0' encoding='utf-16'?>"),
                   Utf16Bytes(L"<?xml version='1.0'?>\r\n")});

  // UTF-16 broken unit by unit.
  const std::wstring wideCatalog = Wide(WithEncoding(catalog, "utf-16"));
  const std::wstring wideKeys = Wide(keys);
  const auto wideCase = [&](std::string label, std::wstring_view from, std::wstring_view to) {
    std::wstring editedCatalog = wideCatalog;
    std::wstring editedKeys = wideKeys;
    for (std::wstring* text : {&editedCatalog, &editedKeys}) {
      for (size_t at = text->find(from); at != std::wstring::npos; at = text->find(from, at + to.size())) {
        text->replace(at, from.size(), to);
      }
    }
    cases.push_back({"utf-16 " + label, Utf16Bytes(editedCatalog), Utf16Bytes(editedKeys)});
  };
  wideCase("lone high surrogate", L"Foo", L"F\xd800o");
  wideCase("lone low surrogate", L"Bar", L"B\xdc00r");
  wideCase("surrogates reversed", L"Foo", L"F\xdc00\xd800o");
  wideCase("surrogate pair", L"Foo", L"F\xd83d\xde00o");
  wideCase("U+FFFE", L"Tools", L"To\xfffeols");
  wideCase("U+FFFF in a value", L"'One'", L"'O\xffff'");
  wideCase("utf-8 declared", L"encoding='utf-16'", L"encoding='utf-8'");
  wideCase("UTF-16 in capitals", L"encoding='utf-16'", L"encoding='UTF-16'");
  wideCase("utf-16le declared", L"encoding='utf-16'", L"encoding='utf-16le'");
  const std::string utf16Catalog = Utf16Bytes(wideCatalog);
  const std::string utf16Keys = Utf16Bytes(wideKeys);
  cases.push_back({"utf-16 with an odd byte at the end", utf16Catalog + "\n", utf16Keys + ">"});
  // The last '>' half present.
  cases.push_back({"utf-16 cut inside the last '>'", utf16Catalog.substr(0, utf16Catalog.size() - 3),
                   utf16Keys.substr(0, utf16Keys.size() - 3)});
  cases.push_back({"utf-16 without its mark", Utf16Bytes(wideCatalog, false, false),
                   Utf16Bytes(wideKeys, false, false)});
  cases.push_back({"utf-16 big-endian", Utf16Bytes(wideCatalog, true), Utf16Bytes(wideKeys, true)});

  // Past the document parser's limits on names, values, texts and depth,
  // and the same kept within them.
  const auto inserted = [&](const std::string& label, const std::string& markup) {
    cases.push_back({label, ReplacedAll(catalog, "<!-- c -->", markup),
                     ReplacedAll(keys, "<soft name='Bar'>", "<soft name='Bar'>" + markup)});
  };
  inserted("name of 50,001 characters", "<" + std::string(50001, 'n') + "/>");
  inserted("name of 1,001 characters", "<" + std::string(1001, 'n') + "/>");
  inserted("attribute name of 50,001 characters", "<x " + std::string(50001, 'a') + "='1'/>");
  inserted("value of ten million and one characters", "<x a='" + std::string(10000001, 'v') + "'/>");
  inserted("text of ten million and one characters", "<x>" + std::string(10000001, 't') + "</x>");
  inserted("comment of ten million and one characters", "<!--" + std::string(10000001, 'c') + "-->");
  // Longer than a read may hold whole: the streaming reader reads such a
  // comment wrong whenever its buffer moves.
  inserted("comment of 65,000 characters", "<!--" + std::string(65000, 'c') + "-->");
  inserted("comment of 3,999 characters", "<!--" + std::string(3999, 'c') + "-->");
  // Within the streaming reader's share: read by it, and it must survive them.
  inserted("value of 999,000 characters", "<x a='" + std::string(999000, 'v') + "'/>");
  inserted("text of 999,000 characters", "<x>" + std::string(999000, 't') + "</x>");
  inserted("comment of 3,998 characters", "<!--" + std::string(3998, 'c') + "-->");
  inserted("comment of 400,000 characters", "<!--" + std::string(400000, 'c') + "-->");
  inserted("instruction of 999,000 characters", "<?pi " + std::string(999000, 'c') + "?>");
  inserted("CDATA section of 999,000 characters", "<x><![CDATA[" + std::string(999000, 'c') + "]]></x>");
  for (const int depth : {100, 126, 200, 257, 300}) {
    std::string nested;
    for (int i = 0; i < depth; ++i) nested += "<d>";
    for (int i = 0; i < depth; ++i) nested += "</d>";
    inserted("elements " + std::to_string(depth) + " deep", nested);
  }
  // Larger files, across many of the streaming reader's reads: markup,
  // references and characters beyond ASCII may span two reads.
  const std::string generated = GeneratedCatalogXml(400, 3, 8);
  const std::string generatedKeys = GeneratedRegistryKeyXml(400);
  cases.push_back({"generated catalog of 400 programs", generated, generatedKeys, true});
  cases.push_back({"generated catalog with references",
                   ReplacedAll(generated, " Deluxe<", " &amp; &lt;Deluxe&gt;<"),
                   ReplacedAll(generatedKeys, "-ABCD}", "-&quot;ABCD&apos;}"), true});
  const std::string longComment = "<!--" + std::string(3998, 'c') + "-->\n";
  cases.push_back({"generated catalog with a long comment after each program",
                   ReplacedAll(generated, "</software>\n", "</software>\n" + longComment),
                   ReplacedAll(generatedKeys, "</soft>\n", "</soft>\n" + longComment), true});
  cases.push_back({"generated catalog beyond ASCII",
                   ReplacedAll(generated, "Program", "\xe4\xb8\xad\xc3\xa4\xf0\x9f\x98\x80"),
                   ReplacedAll(generatedKeys, "Program", "\xe4\xb8\xad\xe6\x96\x87"), true});
  std::string cjk;
  for (int i = 0; i < 680; ++i) cjk += "\xe4\xb8\xad";
  cases.push_back({"generated catalog, descriptions of 680 characters beyond ASCII",
                   ReplacedAll(generated, "A program numbered", cjk),
                   ReplacedAll(generatedKeys, "Program", cjk.substr(0, 600)), true});
  for (int i = 680; i < 12000; ++i) cjk += "\xe4\xb8\xad";
  cases.push_back({"description of 12,000 characters beyond ASCII",
                   ReplacedAll(catalog, "<name>Bar</name>",
                               "<name>Bar</name><description>" + cjk + "</description>"),
                   ReplacedAll(keys, "KeyB", cjk)});
  cases.push_back({"utf-16 text of 10,000 characters",
                   Utf16Bytes(Wide(ReplacedAll(WithEncoding(catalog, "utf-16"), "<!-- c -->",
                                               "<x>" + std::string(10000, 't') + "</x>"))),
                   Utf16Bytes(Wide(ReplacedAll(keys, "KeyB", std::string(10000, 'k'))))});
  cases.push_back({"description of ten million and one characters",
                   ReplacedAll(catalog, "<name>Bar</name>",
                               "<name>Bar</name><description>" + std::string(10000001, 'd') +
                                   "</description>"),
                   ReplacedAll(keys, "KeyB", std::string(10000001, 'k'))});
  return cases;
}

// Character references XML forbids, in texts of both files, a line feed by
// reference in a value, and blanks at either end of a value: each a shape
// one reader could render its own way.
std::vector<Case> ReferenceAndBlankCases() {
  std::vector<Case> cases;
  const auto edited = [&](const std::string& label, const Replacements& replacements) {
    cases.push_back(EditedSmallCase(label, replacements));
  };
  for (const char* reference : {"&#0;", "&#1;", "&#x1F;", "&#xFFFE;", "&#xFFFF;", "&#xD800;",
                                "&#xDC00;", "&#x110000;", "&#1114112;", "&#10;", "&#x9;"}) {
    edited(std::string("text holding ") + reference,
           {{"Foo<", std::string("F") + reference + "o<"},
            {"KeyB<", std::string("Key") + reference + "B<"}});
  }
  for (const char* reference : {"&#10;", "&#13;", "&#9;", "&#32;", "&#0;"}) {
    edited(std::string("value holding ") + reference,
           {{"'One'", std::string("'O") + reference + "ne'"},
            {"'Foo'", std::string("'F") + reference + "oo'"}});
  }
  for (const std::string where : {"leading", "trailing"}) {
    // A quoted value with a blank added at that end.
    const auto blank = [&](const std::string& value) {
      return where == "leading" ? "' " + value.substr(1) : value.substr(0, value.size() - 1) + " '";
    };
    edited("a blank " + where + " in a value",
           {{"'One'", blank("'One'")}, {"'Foo'", blank("'Foo'")}, {"'Bar'", blank("'Bar'")},
            {"version='2'", "version=" + blank("'2'")}, {"id='1'", "id=" + blank("'1'")},
            {"main_type='1'", "main_type=" + blank("'1'")}});
    edited("blanks " + where + " in a value", {{"'One'", blank(blank("'One'"))},
                                               {"'Foo'", blank(blank("'Foo'"))}});
  }
  edited("a blank alone as a value", {{"'One'", "' '"}, {"'Foo'", "' '"}});
  return cases;
}

// The small files cut at every length, in UTF-8 and in UTF-16: every place a
// writer can stop.
std::vector<Case> TruncationCases() {
  std::vector<Case> cases;
  const std::pair<std::string, std::string> forms[] = {
      {SmallCatalog(), SmallKeys()}, {Encoded(SmallCatalog(), 0), Encoded(SmallKeys(), 0)}};
  for (const auto& [catalog, keys] : forms) {
    const std::string form = &catalog == &forms[0].first ? "utf-8" : "utf-16";
    for (size_t length = 0; length < catalog.size(); ++length) {
      cases.push_back({form + " cut at " + std::to_string(length), catalog.substr(0, length),
                       keys.substr(0, length % keys.size())});
    }
    // UTF-16 is the document parser's.
    cases.push_back({form + " whole", catalog, keys, form == "utf-8"});
  }
  return cases;
}

// One to three bytes replaced, inserted or removed, favouring bytes that
// matter to a parser.
std::string ByteMutated(std::string bytes, Lcg& random) {
  static const char kTelling[] =
      "\x00\x01\x80\xbf\xc0\xc3\xdf\xe0\xed\xef\xf0\xf4\xf5\xfe\xff<>&;/?!-=\"' \r\n\t]#xX:1";
  for (uint32_t edits = 1 + random.Next(3); edits > 0; --edits) {
    const size_t at = random.Next(static_cast<uint32_t>(bytes.size() + 1));
    const char value = random.Next(3) ? kTelling[random.Next(sizeof(kTelling) - 1)]
                                      : static_cast<char>(random.Next(256));
    switch (random.Next(3)) {
      case 0:
        if (at < bytes.size()) bytes[at] = value;
        break;
      case 1:
        bytes.insert(at, 1, value);
        break;
      default:
        if (at < bytes.size()) bytes.erase(at, 1);
        break;
    }
  }
  return bytes;
}

std::vector<Case> ByteSweepCases(int count) {
  std::vector<Case> cases;
  const std::string utf8[] = {SmallCatalog(), SmallKeys()};
  const std::string utf16[] = {Encoded(SmallCatalog(), 0), Encoded(SmallKeys(), 0)};
  Lcg random(2024);
  for (int i = 0; i < count; ++i) {
    // A quarter in UTF-16.
    const std::string* base = i % 4 == 3 ? utf16 : utf8;
    cases.push_back({"byte mutation " + std::to_string(i), ByteMutated(base[0], random),
                     ByteMutated(base[1], random)});
  }
  return cases;
}

// --- The comparison -------------------------------------------------------------
//
// The streaming reader can end its process on a file it does not survive, so
// the cases run in child processes (this executable, filtered to
// ComparesOneBatch), a batch of files each: an abort ends one child, is
// reported with the case it was reading, and the next child goes on from the
// case after it.

constexpr wchar_t kBatchVariable[] = L"TESSARY_STREAMING_BATCH";
constexpr size_t kBatchSize = 500;

std::wstring CaseFile(const std::wstring& batch, size_t index, const wchar_t* kind) {
  return batch + L"\\" + std::to_wstring(index) + kind;
}

std::string ReadAll(const std::wstring& path) {
  std::string bytes;
  ReadWholeFile(path.c_str(), 1LL << 30, bytes);
  return bytes;
}

bool Append(const std::wstring& path, std::string_view bytes) {
  UniqueFileHandle file(::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  return file && ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                             nullptr) && written == bytes.size();
}

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

  // One case, through each source: "same" or "differs", and how many of its
  // files the streaming source rendered without refusing. A difference leaves both texts beside
  // the case's files.
  std::string CompareCase(const std::wstring& batch, size_t index) {
    // Half the cases load over a catalog that already has main types, which
    // entries before a list (or in a file without one) resolve against.
    const std::wstring catalogPath = CaseFile(batch, index, L".catalog.xml");
    const std::wstring keysPath = CaseFile(batch, index, L".keys.xml");
    ComPtr<KaSoftwareCatelog> document;
    ComPtr<KaSoftwareCatelog> streaming;
    if (FAILED(MakeComObject(document)) || FAILED(MakeComObject(streaming))) return "no objects";
    std::wstring texts[2];
    if (index % 2) {
      host_.Data().SetDataFilePath(1, batch + L"\\standing.xml");
      host_.Data().SetDataFilePath(2, L"");
      document->LoadWith(XmlReaderChoice::Document);
      streaming->LoadWith(XmlReaderChoice::Document);
    }
    host_.Data().SetDataFilePath(1, catalogPath);
    host_.Data().SetDataFilePath(2, keysPath);
    // Loaded first: the operands of + are not sequenced.
    const HRESULT loaded[] = {document->LoadWith(XmlReaderChoice::Document),
                              streaming->LoadWith(XmlReaderChoice::Streaming)};
    texts[0] = L"load " + std::to_wstring(loaded[0]) + L"\n" + PublishedCatalog(*document.Get());
    texts[1] = L"load " + std::to_wstring(loaded[1]) + L"\n" + PublishedCatalog(*streaming.Get());

    CatalogContent content(nullptr);
    RegistryKeyTable keys;
    const int streamed =
        (::GetFileAttributesW(catalogPath.c_str()) != INVALID_FILE_ATTRIBUTES &&
         StreamCatalogFile(catalogPath.c_str(), content) == S_OK) +
        (::GetFileAttributesW(keysPath.c_str()) != INVALID_FILE_ATTRIBUTES &&
         StreamRegistryKeyFile(keysPath.c_str(), keys) == S_OK);
    const bool same = texts[0] == texts[1];
    if (!same) {
      WriteFileBytes(CaseFile(batch, index, L".diff.txt"),
                     "document parser:\n" + Utf8(texts[0]) + "\nstreaming:\n" + Utf8(texts[1]));
    }
    return (same ? "same " : "differs ") + std::to_string(streamed);
  }

  // Runs every case in child processes and reports each difference and
  // abort with the case's label.
  void CompareInChildren(const std::vector<Case>& cases) {
    size_t files = 0;
    size_t streamed = 0;
    size_t children = 0;
    for (size_t first = 0; first < cases.size(); first += kBatchSize) {
      const size_t count = std::min(kBatchSize, cases.size() - first);
      TempDir batch;
      ASSERT_TRUE(WriteFileBytes(batch.Join(L"standing.xml"),
                                 "<vedad><main_type_list><t id='t1'><name>Standing</name></t>"
                                 "</main_type_list></vedad>"));
      for (size_t i = 0; i < count; ++i) {
        const Case& c = cases[first + i];
        if (c.catalog) {
          ASSERT_TRUE(WriteFileBytes(CaseFile(batch.path(), i, L".catalog.xml"), *c.catalog));
        }
        if (c.keys) {
          ASSERT_TRUE(WriteFileBytes(CaseFile(batch.path(), i, L".keys.xml"), *c.keys));
        }
        files += c.catalog.has_value() + c.keys.has_value();
      }
      ASSERT_TRUE(WriteFileBytes(batch.Join(L"count.txt"), std::to_string(count)));
      const std::wstring results = batch.Join(L"results.txt");
      // Each child goes on after the last case with a result.
      for (size_t done = 0; done < count;) {
        ++children;
        const DWORD exitCode = RunChild(batch);
        std::vector<std::string> lines;
        const std::string text = ReadAll(results);
        for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
          lines.push_back(text.substr(at, end - at));
        }
        if (lines.size() <= done) {
          ADD_FAILURE() << "the child read nothing (exit code " << exitCode << "):\n"
                        << ReadAll(batch.Join(L"log.txt"));
          return;
        }
        for (; done < lines.size(); ++done) {
          const Case& c = cases[first + done];
          const std::string& line = lines[done];
          const int settled = std::atoi(line.c_str() + line.find(' ') + 1);
          streamed += settled;
          if (line.rfind("aborted", 0) == 0) {
            ADD_FAILURE() << c.label << ": the child ended with exit code " << exitCode;
          } else if (line.rfind("same", 0) != 0) {
            ADD_FAILURE() << c.label << ": the readers publish different things\n"
                          << ReadAll(CaseFile(batch.path(), done, L".diff.txt")).substr(0, 4000);
          } else if (c.plain) {
            EXPECT_EQ(settled, c.catalog.has_value() + c.keys.has_value())
                << c.label << ": a plain file left to the document parser";
          }
        }
        if (done < count && exitCode == 0) {
          ADD_FAILURE() << "the child stopped early:\n" << ReadAll(batch.Join(L"log.txt"));
          return;
        }
      }
    }
    std::printf("  %zu cases in %zu children, %zu of %zu files rendered by the streaming source\n",
                cases.size(), children, streamed, files);
  }

  // This executable again, on the batch, from the first case without a
  // result; a case a child does not survive is recorded as aborted.
  DWORD RunChild(const TempDir& batch) {
    wchar_t self[MAX_PATH] = {};
    if (::GetModuleFileNameW(nullptr, self, MAX_PATH) == 0) return ~0u;
    if (!::SetEnvironmentVariableW(kBatchVariable, batch.path().c_str())) return ~0u;
    const DWORD exitCode =
        RunTestChild(self, L"StreamingLoadTest.ComparesOneBatch", batch.Join(L"log.txt"));
    ::SetEnvironmentVariableW(kBatchVariable, nullptr);
    if (exitCode != 0) {
      // The case it was reading: the first without a result.
      const std::string text = ReadAll(batch.Join(L"results.txt"));
      const size_t done = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
      const size_t count = std::strtoul(ReadAll(batch.Join(L"count.txt")).c_str(), nullptr, 10);
      if (done < count) Append(batch.Join(L"results.txt"), "aborted 0\n");
    }
    return exitCode;
  }

  host::Host host_;
};

// The child's part: the batch's cases from the first without a result, one
// result line each, written before the next case starts.
TEST_F(StreamingLoadTest, ComparesOneBatch) {
  const wchar_t* batch = _wgetenv(kBatchVariable);
  if (!batch) GTEST_SKIP() << "run in child processes by the comparisons below";
  const std::wstring folder = batch;
  const std::wstring results = folder + L"\\results.txt";
  const std::string done = ReadAll(results);
  const size_t count = std::strtoul(ReadAll(folder + L"\\count.txt").c_str(), nullptr, 10);
  for (size_t i = static_cast<size_t>(std::count(done.begin(), done.end(), '\n')); i < count; ++i) {
    ASSERT_TRUE(Append(results, CompareCase(folder, i) + "\n"));
  }
}

TEST_F(StreamingLoadTest, SeedsAndTheirMutations) { CompareInChildren(SeedCases()); }

TEST_F(StreamingLoadTest, ShapesTheDocumentParserRefusesOrReadsItsOwnWay) {
  CompareInChildren(FamilyCases());
}

TEST_F(StreamingLoadTest, CharacterReferencesAndBlanksInValues) {
  CompareInChildren(ReferenceAndBlankCases());
}

TEST_F(StreamingLoadTest, EveryCutOfASmallCatalog) { CompareInChildren(TruncationCases()); }

TEST_F(StreamingLoadTest, RandomByteMutations) { CompareInChildren(ByteSweepCases(1200)); }

}  // namespace
}  // namespace tessary::testing
