// The patcher's command line: the option table built from the string table,
// the repair of quoted arguments, and reading the options into PatchSettings.
// Used by the application object during start-up, on the GUI thread; the
// functions hold no state of their own.
#pragma once

#include <wx/cmdline.h>
#include <wx/string.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

namespace TarvPatch {

class PatchSettings;

// The entries of the option table (the options and the end marker) with
// the names and descriptions loaded from the string table in the calling
// thread's language. Owns the strings the entries point to. Short
// names are cut to 7 characters, long names to 15, descriptions to 63.
class OptionTable {
 public:
  static constexpr size_t kEntries = 16;

  OptionTable();
  OptionTable(const OptionTable&) = delete;
  OptionTable& operator=(const OptionTable&) = delete;

  const std::array<wxCmdLineEntryDesc, kEntries>& Entries() const { return m_entries; }
  // Adds every entry to the parser (names and descriptions decoded as UTF-8).
  void Configure(wxCmdLineParser& parser) const;
  // The usage text, as --help prints it (no final line break).
  wxString Usage() const;
  // Drops the strings; Entries() then has only empty names.
  void Clear();

 private:
  std::array<std::string, 3 * (kEntries - 1)> m_strings;
  std::array<wxCmdLineEntryDesc, kEntries> m_entries;
};

// Every argument of at least two characters that ends in a backslash and a
// double quote loses that quote: a quoted folder "C:\Games\" arrives from
// the Windows-style splitting as C:\Games\".
void RepairArguments(std::vector<wxString>& args);

// What the command line asks of the application beyond PatchSettings.
struct StartupRequest {
  bool help = false;            // "h": the usage text was shown
  bool admin = false;           // "a": test access instead of relaunching
  bool launch_on_exit = false;  // "onexit" was given
  wxString on_exit_command;
  bool unattended = false;  // "u": no window, the terminal reports
  bool json = false;        // "json": JSON lines instead of text
  bool verbose = false;     // "verbose": the trace also on standard error
  // The working folder when the command line was read, before start-up
  // changes to the program's folder: relative paths given on the command
  // line are taken from here, as the person who typed them meant.
  wxString start_folder;
};

// What the program is asked to do before any parsing, read from the raw
// arguments (program path first) up to a "--": a request for the usage or
// the version is answered whatever else the command line holds, and the
// window-less mode must be known before the toolkit starts.
struct ProgramMode {
  bool help = false;
  bool version = false;
  bool unattended = false;
};
ProgramMode ScanProgramMode(const std::vector<std::string>& args);

// True when the environment names a display (X11 or Wayland) for a window.
bool HasDisplay();

// Parses `args` (program path first) with the table and fills `settings` and
// `request`. When the parser refuses the command line (a missing parameter
// or value, an unknown option) its first complaint, one line, and the usage
// text go to `report_error`; the result is then false and nothing is set. A
// server list file that cannot be read is reported through `report_error`
// with the text kFailedToReadServerList
// followed by the file name, and start-up goes on. A "server" value holds
// one or more entries separated by ";".
bool ReadCommandLine(const std::vector<wxString>& args, const OptionTable& table,
                     PatchSettings& settings, StartupRequest* request,
                     const std::function<void(const wxString&)>& report_error);

// The folder holding the program file, with its final separator: the folder
// part of `argv0`, or of the running executable when argv0 names no folder
// (a start through PATH). Empty when neither is known.
wxString ProgramFolder(const wxString& argv0);

// `path` as given when it is empty or absolute; otherwise the absolute path
// below `start_folder` ("." and ".." folded), so that a path typed
// relative to the shell's folder survives the change to the program's.
wxString FromStartFolder(const wxString& path, const wxString& start_folder);

// Writes the text and a line break to standard error as UTF-8.
void WriteToStandardError(const wxString& text);

}  // namespace TarvPatch
