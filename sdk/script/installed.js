// Lists the programs installed on this PC through Tessary's installed list,
// as a script host sees it. Register the DLL of the script host's bitness
// first (regsvr32 Tessary.dll), then:
//
//   cscript //nologo installed.js [KEY]
//
// With a key (an Uninstall subkey name), prints that program's line alone.
var only = WScript.Arguments.length > 0 ? WScript.Arguments(0) : null;
var list = new ActiveXObject("Tessary.KaInstalledSoft");
var count = 0;
for (var e = new Enumerator(list); !e.atEnd(); e.moveNext()) {
  var program = e.item();
  count++;
  if (only !== null && program.KeyName != only) continue;
  // Source: where the entry was found (see docs/integrating.md).
  WScript.Echo(program.KeyName + "\t" + program.DisplayName + "\t" +
               program.DisplayVersion + "\t" + program.Source);
}
WScript.Echo(count + " programs");
