#pragma once
// What every command stands on: the component loaded from beside the tool
// (or another file, or the registration), its objects created through the
// DLL's own class objects, and, for the commands that ask the status
// manager, our host with the catalog, registry-key file and ignore list of a
// data folder, checked before they are handed over.
#include <windows.h>
#include <wrl/client.h>

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "TessaryLib.h"
#include "common/Unique.h"
#include "host/Host.h"
#include "identify/IdentificationRules.h"

namespace tessary::tool {

struct Options {
  std::wstring dllPath;   // empty: Tessary.dll beside the tool
  bool registered = false;  // CoCreateInstance through the registration
  std::wstring dataFolder;  // empty: "host" beside the tool
  bool json = false;
};

// Ends the command: the message names what failed and its result code.
// Exit code 2 for what keeps a command from starting, 1 for a failed query.
struct Failure {
  int exitCode;
  std::string message;
};
// Where the document parser stops in a file that is not well-formed; line 0
// when it gives no position (Wine's reason is then only a placeholder).
struct ParseProblem {
  long line = 0;
  long column = 0;
  std::string reason;
};
ParseProblem ParserProblem(const std::wstring& path);

[[noreturn]] void Fail(int exitCode, std::string_view what, HRESULT hr);
// A failed query: exit code 1.
void Check(HRESULT hr, std::string_view what);

class Session {
 public:
  explicit Session(Options options);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  const Options& options() const { return options_; }

  // A fresh object of the component's class.
  template <typename T>
  Microsoft::WRL::ComPtr<T> Create(REFCLSID clsid, std::string_view name) {
    Microsoft::WRL::ComPtr<T> object;
    CreateObject(clsid, __uuidof(T), reinterpret_cast<void**>(object.GetAddressOf()), name);
    return object;
  }

  // The component's own data files in KaData beside the DLL, each one a
  // command reads: a missing, malformed or (to the component) empty one ends
  // the command with exit code 2, as a bad host file does.
  enum ComponentData : unsigned {
    kIdentificationRules = 1,
    kAntivirusRules = 2,
    kRecommendations = 4,
    kTypeFiles = 8,
  };
  void CheckComponentData(unsigned files);

  // The identification rules as the component's own loader read them; filled
  // by CheckComponentData(kIdentificationRules).
  IdentificationRuleTable& Rules() { return rules_; }

  // The status manager attached to our host, made on first use.
  IKaSoftStatusManager* Manager();

  // The registry keys the registry-key file lists per program (lower-cased
  // name), in file order.
  const std::vector<std::wstring>* RegistryKeysOf(std::wstring_view name);

  // The component keeps the first 1,023 Uninstall entries and answers as if
  // the others were not installed. Every command whose answer depends on the
  // installed programs asks CapReached() once its data is checked and puts
  // the answer in its document as "capReached": the counts are learned once
  // (from the list's own build when `list` read it, else from a list object
  // of their own), and the first time the cap is found reached one line on
  // standard error says so.
  bool CapReached();
  void SetInstalledCounts(LONG entries, LONG kept);
  // The Uninstall entries the component's build saw; -1 before CapReached().
  LONG EntryCount() const { return entryCount_; }

  // KaData beside the DLL, and a file of the host data folder.
  std::wstring ComponentDataFolder() const;
  std::wstring DataFile(const wchar_t* name) const;

 private:
  void CreateObject(REFCLSID clsid, REFIID iid, void** object, std::string_view name);
  void LoadDll();
  void ConfigureHost();

  Options options_;
  UniqueModule dll_;  // declared first: outlives every object it made
  HRESULT(STDAPICALLTYPE* getClassObject_)(REFCLSID, REFIID, void**) = nullptr;
  host::Host host_;
  bool hostStarted_ = false;
  Microsoft::WRL::ComPtr<IKaSoftStatusManager> manager_;
  Microsoft::WRL::ComPtr<IKaHostPlugin> plugin_;
  std::map<std::wstring, std::vector<std::wstring>, std::less<>> registryKeys_;
  IdentificationRuleTable rules_;
  LONG entryCount_ = -1;
  LONG keptCount_ = -1;
  bool capTold_ = false;
};

}  // namespace tessary::tool
