#include "app/command_line.h"

#include <wx/filefn.h>
#include <wx/filename.h>
#include <wx/msgout.h>

#include <cstdlib>
#include <memory>

#include "inet/transfer_control.h"
#include "os/message_ids.h"
#include "os/messages.h"
#include "os/this_process.h"
#include "session/patch_settings.h"

namespace TarvPatch {

namespace {

namespace Id = TarvMessages::Id;

struct OptionRow {
  wxCmdLineEntryType kind;
  int short_id;  // 0: the name below, the same in every language
  int long_id;
  int description_id;
  const char* short_name = "";
  const char* long_name = "";
};

// Positional parameters carry names too, but the parser only shows their
// descriptions. The options of the window-less mode have fixed names.
constexpr OptionRow kRows[OptionTable::kEntries - 1] = {
    {wxCMD_LINE_SWITCH, Id::kOptHelpShort, Id::kOptHelp, Id::kDescHelp},
    {wxCMD_LINE_SWITCH, Id::kOptAdminShort, Id::kOptAdmin, Id::kDescAdmin},
    {wxCMD_LINE_PARAM, Id::kOptCurrentShort, Id::kOptCurrent, Id::kDescCurrent},
    {wxCMD_LINE_OPTION, Id::kOptListShort, Id::kOptList, Id::kDescList},
    {wxCMD_LINE_OPTION, Id::kOptServerShort, Id::kOptServer, Id::kDescServer},
    {wxCMD_LINE_OPTION, Id::kOptFinalShort, Id::kOptFinal, Id::kDescFinal},
    {wxCMD_LINE_PARAM, Id::kOptTargetShort, Id::kOptTarget, Id::kDescTarget},
    {wxCMD_LINE_OPTION, Id::kOptPatchShort, Id::kOptPatch, Id::kDescPatch},
    {wxCMD_LINE_SWITCH, Id::kOptRepairShort, Id::kOptRepair, Id::kDescRepair},
    {wxCMD_LINE_OPTION, Id::kOptOnExitShort, Id::kOptOnExit, Id::kDescOnExit},
    {wxCMD_LINE_SWITCH, 0, 0, Id::kUnattendedDescription, "u", "unattended"},
    {wxCMD_LINE_SWITCH, 0, 0, Id::kJsonDescription, "", "json"},
    {wxCMD_LINE_SWITCH, 0, 0, Id::kVersionDescription, "", "version"},
    // A name players know from curl-like tools, the same in every language.
    {wxCMD_LINE_OPTION, 0, 0, Id::kLimitRateHelp, "", "limit-rate"},
    {wxCMD_LINE_SWITCH, 0, 0, Id::kVerboseDescription, "", "verbose"},
};

// The option names as the string table spells them in every language.
constexpr const char kHelp[] = "h";
constexpr const char kAdmin[] = "a";
constexpr const char kList[] = "l";
constexpr const char kServer[] = "s";
constexpr const char kFinal[] = "f";
constexpr const char kPatch[] = "p";
constexpr const char kRepair[] = "r";
constexpr const char kOnExit[] = "o";
constexpr const char kUnattended[] = "u";
constexpr const char kJson[] = "json";
constexpr const char kLimitRate[] = "limit-rate";
constexpr const char kVerbose[] = "verbose";

// The text of `id`, at most `limit` characters, as UTF-8.
std::string LoadLimited(int id, size_t limit) {
  wxString text(TarvMessages::LoadMessage(id));
  if (text.length() > limit) text.Truncate(limit);
  return text.utf8_string();
}

// "a;b" -> {"a", "b"}; every piece is kept, empty ones too, so that a list
// that was joined with ";" comes back entry for entry.
std::vector<std::wstring> SplitServers(const wxString& value) {
  std::vector<std::wstring> pieces;
  const std::wstring& text = value.ToStdWstring();
  size_t start = 0;
  while (true) {
    size_t semicolon = text.find(L';', start);
    pieces.push_back(
        text.substr(start, semicolon == std::wstring::npos ? semicolon : semicolon - start));
    if (semicolon == std::wstring::npos) return pieces;
    start = semicolon + 1;
  }
}

void ReadServers(const wxCmdLineParser& parser, PatchSettings& settings,
                 const std::function<void(const wxString&)>& report_error) {
  wxString value;
  if (parser.Found(kServer, &value)) {
    for (const std::wstring& entry : SplitServers(value)) settings.AddServer(entry);
  }
  if (parser.Found(kList, &value) && !settings.ReadServerList(value)) {
    report_error(wxString(TarvMessages::LoadMessage(Id::kFailedToReadServerList)) + value);
  }
  if (!settings.GetServers().empty()) settings.SetDownload(true);
}

// The parser's messages, caught instead of printed.
class MessageCatcher : public wxMessageOutput {
 public:
  void Output(const wxString& text) override { m_text += text; }
  wxString m_text;
};

// Parses without printing; on refusal `error` receives the parser's first
// complaint, one line.
bool ParseQuietly(wxCmdLineParser& parser, wxString* error) {
  MessageCatcher catcher;
  wxMessageOutput* previous = wxMessageOutput::Set(&catcher);
  const int result = parser.Parse(false);
  wxMessageOutput::Set(previous);
  if (result == 0) return true;
  wxString text = catcher.m_text;
  text.Trim(false);
  *error = text.BeforeFirst('\n');
  return false;
}

// The usage text without its trailing line break.
wxString UsageText(const wxCmdLineParser& parser) {
  wxString usage = parser.GetUsageString();
  usage.Trim();
  return usage;
}

}  // namespace

OptionTable::OptionTable() {
  for (size_t i = 0; i < kEntries - 1; ++i) {
    m_strings[3 * i] =
        kRows[i].short_id != 0 ? LoadLimited(kRows[i].short_id, 7) : kRows[i].short_name;
    m_strings[3 * i + 1] =
        kRows[i].long_id != 0 ? LoadLimited(kRows[i].long_id, 15) : kRows[i].long_name;
    m_strings[3 * i + 2] = LoadLimited(kRows[i].description_id, 63);
    m_entries[i] = {kRows[i].kind,
                    m_strings[3 * i].c_str(),
                    m_strings[3 * i + 1].c_str(),
                    m_strings[3 * i + 2].c_str(),
                    wxCMD_LINE_VAL_STRING,
                    0};
  }
  m_entries[kEntries - 1] = {wxCMD_LINE_NONE, nullptr, nullptr, nullptr, wxCMD_LINE_VAL_NONE, 0};
}

void OptionTable::Configure(wxCmdLineParser& parser) const {
  for (size_t i = 0; i < kEntries - 1; ++i) {
    const wxCmdLineEntryDesc& entry = m_entries[i];
    wxString short_name = wxString::FromUTF8(entry.shortName);
    wxString long_name = wxString::FromUTF8(entry.longName);
    wxString description = wxString::FromUTF8(entry.description);
    switch (entry.kind) {
      case wxCMD_LINE_SWITCH:
        parser.AddSwitch(short_name, long_name, description, entry.flags);
        break;
      case wxCMD_LINE_OPTION:
        parser.AddOption(short_name, long_name, description, entry.type, entry.flags);
        break;
      case wxCMD_LINE_PARAM:
        parser.AddParam(description, entry.type, entry.flags);
        break;
      default:
        break;
    }
  }
}

void OptionTable::Clear() {
  for (std::string& text : m_strings) text.clear();
  for (size_t i = 0; i < kEntries - 1; ++i) {
    m_entries[i].shortName = m_strings[3 * i].c_str();
    m_entries[i].longName = m_strings[3 * i + 1].c_str();
    m_entries[i].description = m_strings[3 * i + 2].c_str();
  }
}

wxString OptionTable::Usage() const {
  wxCmdLineParser parser;
  Configure(parser);
  return UsageText(parser);
}

ProgramMode ScanProgramMode(const std::vector<std::string>& args) {
  ProgramMode mode;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") break;
    if (arg == "-h" || arg == "--help") mode.help = true;
    if (arg == "--version") mode.version = true;
    if (arg == "-u" || arg == "--unattended") mode.unattended = true;
  }
  return mode;
}

bool HasDisplay() {
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return (x11 != nullptr && *x11 != '\0') || (wayland != nullptr && *wayland != '\0');
}

void RepairArguments(std::vector<wxString>& args) {
  for (wxString& arg : args) {
    if (arg.length() >= 2 && arg.EndsWith("\\\"")) arg.RemoveLast();
  }
}

bool ReadCommandLine(const std::vector<wxString>& args, const OptionTable& table,
                     PatchSettings& settings, StartupRequest* request,
                     const std::function<void(const wxString&)>& report_error) {
  std::vector<wxString> copies = args;
  if (copies.empty()) copies.push_back(wxString());
  std::vector<wxChar*> argv;
  argv.reserve(copies.size() + 1);
  for (wxString& arg : copies) argv.push_back(const_cast<wxChar*>(arg.wc_str()));
  argv.push_back(nullptr);
  wxCmdLineParser parser;
  parser.SetCmdLine(static_cast<int>(copies.size()), argv.data());
  table.Configure(parser);
  wxString error;
  if (!ParseQuietly(parser, &error)) {
    report_error(error + "\n" + UsageText(parser));
    return false;
  }
  wxString rate_text;
  uint64_t rate = 0;
  if (parser.Found(kLimitRate, &rate_text) &&
      !TarvInet::ParseRate(rate_text.utf8_string(), &rate)) {
    report_error(wxString(TarvMessages::LoadMessage(Id::kLimitRateInvalid)) + rate_text);
    return false;
  }
  if (parser.Found(kJson) && !parser.Found(kUnattended)) {
    report_error(wxString(TarvMessages::LoadMessage(Id::kJsonNeedsUnattended)));
    return false;
  }
  settings.SetDownloadLimit(rate);

  request->help = parser.Found(kHelp);
  request->admin = parser.Found(kAdmin);
  request->unattended = parser.Found(kUnattended);
  request->json = parser.Found(kJson);
  request->verbose = parser.Found(kVerbose);
  wxString value;
  request->launch_on_exit = parser.Found(kOnExit, &value);
  request->on_exit_command = request->launch_on_exit ? value : wxString();
  if (parser.Found(kFinal, &value)) settings.SetFinalVersion(value);
  settings.SetRepair(parser.Found(kRepair));
  request->start_folder = wxGetCwd();
  settings.SetCurrentVersion(parser.GetParam(0));
  settings.SetTargetDirectory(FromStartFolder(parser.GetParam(1), request->start_folder));
  if (parser.Found(kPatch, &value)) {
    settings.SetManualPatchPath(FromStartFolder(value, request->start_folder).ToStdWstring());
    settings.SetLocalFile(true);
  } else {
    ReadServers(parser, settings, report_error);
  }
  return true;
}

wxString FromStartFolder(const wxString& path, const wxString& start_folder) {
  if (path.empty() || start_folder.empty()) return path;
  wxFileName name(path);
  if (name.IsAbsolute()) return path;
  name.MakeAbsolute(start_folder);
  return name.GetFullPath();
}

wxString ProgramFolder(const wxString& argv0) {
  int slash = argv0.Find('/', true);
  if (slash != wxNOT_FOUND) return argv0.Left(static_cast<size_t>(slash) + 1);
  const std::string path = OS::ExecutablePath();
  if (path.empty()) return wxString();
  wxString executable = wxString::FromUTF8(path);
  return executable.Left(static_cast<size_t>(executable.Find('/', true)) + 1);
}

void WriteToStandardError(const wxString& text) {
  OS::WriteStandardError((text + "\n").utf8_string());
}

}  // namespace TarvPatch
