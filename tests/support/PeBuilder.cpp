#include "support/PeBuilder.h"

#include <cstring>

#include "support/TestSupport.h"

namespace tessary::testing {
namespace {

void Pad4(std::string& out) {
  while (out.size() % 4) out.push_back('\0');
}

void AppendWide(std::string& out, std::wstring_view text) {
  out.append(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
  out.append(2, '\0');
}

template <typename T>
void AppendRaw(std::string& out, const T& value) {
  out.append(reinterpret_cast<const char*>(&value), sizeof(value));
}

// One node of the version tree: header, key, value, then 32-bit aligned
// children.
std::string Node(std::wstring_view key, WORD type, std::string_view value, WORD valueLength,
                 const std::vector<std::string>& children) {
  std::string out(6, '\0');
  AppendWide(out, key);
  Pad4(out);
  out.append(value);
  for (const std::string& child : children) {
    Pad4(out);
    out.append(child);
  }
  const WORD header[3] = {static_cast<WORD>(out.size()), valueLength, type};
  std::memcpy(out.data(), header, sizeof(header));
  return out;
}

}  // namespace

std::string BuildVersionResource(const VersionResourceLayout& layout) {
  std::vector<std::string> children;
  if (!layout.stringTables.empty()) {
    std::vector<std::string> tables;
    for (const VersionStringTable& table : layout.stringTables) {
      std::vector<std::string> strings;
      for (const auto& [name, text] : table.strings) {
        std::string value;
        AppendWide(value, text);
        strings.push_back(Node(name, 1, value, static_cast<WORD>(text.size() + 1), {}));
      }
      tables.push_back(Node(table.key, 1, {}, 0, strings));
    }
    children.push_back(Node(L"StringFileInfo", 1, {}, 0, tables));
  }
  if (!layout.translations.empty()) {
    std::string pairs;
    for (const auto& [language, codePage] : layout.translations) {
      AppendRaw(pairs, language);
      AppendRaw(pairs, codePage);
    }
    const std::string var = Node(L"Translation", 0, pairs, static_cast<WORD>(pairs.size()), {});
    children.push_back(Node(L"VarFileInfo", 1, {}, 0, {var}));
  }
  std::string fixed;
  if (layout.hasFixedBlock) {
    VS_FIXEDFILEINFO info = {};
    info.dwSignature = 0xFEEF04BD;
    info.dwStrucVersion = 0x00010000;
    info.dwFileVersionMS = layout.fileVersionMS;
    info.dwFileVersionLS = layout.fileVersionLS;
    info.dwProductVersionMS = layout.productVersionMS;
    info.dwProductVersionLS = layout.productVersionLS;
    info.dwFileOS = VOS_NT_WINDOWS32;
    info.dwFileType = VFT_APP;
    AppendRaw(fixed, info);
  }
  return Node(L"VS_VERSION_INFO", 0, fixed, static_cast<WORD>(fixed.size()), children);
}

bool WritePeWithVersion(const std::wstring& path, std::string_view resource, WORD language) {
  constexpr DWORD kFileAlign = 0x200;
  constexpr DWORD kSectionAlign = 0x1000;
  constexpr DWORD kRsrcRva = 0x1000;
  // Resource directory: type 16 -> name 1 -> language -> data entry -> data.
  constexpr DWORD kDataOffset = 88;

  std::string rsrc;
  auto directory = [&](WORD id, DWORD target) {
    IMAGE_RESOURCE_DIRECTORY dir = {};
    dir.NumberOfIdEntries = 1;
    AppendRaw(rsrc, dir);
    IMAGE_RESOURCE_DIRECTORY_ENTRY entry = {};
    entry.Name = id;
    entry.OffsetToData = target;
    AppendRaw(rsrc, entry);
  };
  directory(16, IMAGE_RESOURCE_DATA_IS_DIRECTORY | 24);
  directory(1, IMAGE_RESOURCE_DATA_IS_DIRECTORY | 48);
  directory(language, 72);
  IMAGE_RESOURCE_DATA_ENTRY data = {};
  data.OffsetToData = kRsrcRva + kDataOffset;
  data.Size = static_cast<DWORD>(resource.size());
  AppendRaw(rsrc, data);
  rsrc.append(resource);
  const DWORD virtualSize = static_cast<DWORD>(rsrc.size());
  rsrc.resize((rsrc.size() + kFileAlign - 1) / kFileAlign * kFileAlign, '\0');

  IMAGE_DOS_HEADER dos = {};
  dos.e_magic = IMAGE_DOS_SIGNATURE;
  dos.e_lfanew = sizeof(IMAGE_DOS_HEADER);
  IMAGE_NT_HEADERS32 nt = {};
  nt.Signature = IMAGE_NT_SIGNATURE;
  nt.FileHeader.Machine = IMAGE_FILE_MACHINE_I386;
  nt.FileHeader.NumberOfSections = 1;
  nt.FileHeader.SizeOfOptionalHeader = sizeof(IMAGE_OPTIONAL_HEADER32);
  nt.FileHeader.Characteristics =
      IMAGE_FILE_EXECUTABLE_IMAGE | IMAGE_FILE_32BIT_MACHINE | IMAGE_FILE_DLL;
  IMAGE_OPTIONAL_HEADER32& optional = nt.OptionalHeader;
  optional.Magic = IMAGE_NT_OPTIONAL_HDR32_MAGIC;
  optional.ImageBase = 0x10000000;
  optional.SectionAlignment = kSectionAlign;
  optional.FileAlignment = kFileAlign;
  optional.MajorOperatingSystemVersion = 4;
  optional.MajorSubsystemVersion = 4;
  optional.SizeOfImage =
      kRsrcRva + (virtualSize + kSectionAlign - 1) / kSectionAlign * kSectionAlign;
  optional.SizeOfHeaders = kFileAlign;
  optional.Subsystem = IMAGE_SUBSYSTEM_WINDOWS_GUI;
  optional.NumberOfRvaAndSizes = IMAGE_NUMBEROF_DIRECTORY_ENTRIES;
  optional.DataDirectory[IMAGE_DIRECTORY_ENTRY_RESOURCE] = {kRsrcRva, virtualSize};
  IMAGE_SECTION_HEADER section = {};
  std::memcpy(section.Name, ".rsrc", 5);
  section.Misc.VirtualSize = virtualSize;
  section.VirtualAddress = kRsrcRva;
  section.SizeOfRawData = static_cast<DWORD>(rsrc.size());
  section.PointerToRawData = kFileAlign;
  section.Characteristics = IMAGE_SCN_CNT_INITIALIZED_DATA | IMAGE_SCN_MEM_READ;

  std::string image;
  AppendRaw(image, dos);
  AppendRaw(image, nt);
  AppendRaw(image, section);
  image.resize(kFileAlign, '\0');
  image.append(rsrc);
  return WriteFileBytes(path, image);
}

}  // namespace tessary::testing
