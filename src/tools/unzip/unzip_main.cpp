// tarv-unzip [-o] [-x] ARCHIVE [-d FOLDER]: unpacks a ZIP archive with
// libminizip into FOLDER (default: the current folder), with the folder
// paths stored in the archive, overwriting existing files.
// tarv-unzip -l ARCHIVE lists the entries and their sizes instead.
//
// Every entry is written to a temporary file in its folder, its CRC and size
// checked, and only then renamed into place, so a damaged entry never leaves
// wrong data under its name. Entries whose name would leave FOLDER (a ".."
// component, an absolute path, a drive letter), link, device and pipe
// entries, and encrypted entries are refused. Folders are walked without
// following links: a link met inside FOLDER is refused. The first failure
// ends the run.
//
// Exit codes: 0 every entry in place; 1 wrong command line; 2 archive
// unreadable or damaged; 3 an entry refused or not written whole.
#include <cstdio>
#include <string>
#include <vector>

#include "diag/text_encoding.h"
#include "tools/unzip/unzip_archive.h"

namespace {

struct Options {
  bool list = false;
  std::string archive;
  std::string folder = ".";
};

int Usage() {
  fprintf(stderr,
          "usage: tarv-unzip [-o] [-x] ARCHIVE [-d FOLDER]\n       tarv-unzip -l ARCHIVE\n");
  return TarvUnzip::kUsage;
}

bool ParseArgs(int argc, char** argv, Options* opt) {
  bool have_archive = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "-o" || a == "-x") continue;  // overwrite and keep paths: always so
    if (a == "-l") {
      opt->list = true;
      continue;
    }
    if (a == "-d") {
      if (++i >= argc || argv[i][0] == '\0') return false;
      opt->folder = argv[i];
    } else if (a.empty() || a[0] == '-' || have_archive) {
      return false;
    } else {
      opt->archive = a;
      have_archive = true;
    }
  }
  return have_archive;
}

int Main(int argc, char** argv) {
  Options opt;
  if (!ParseArgs(argc, argv, &opt)) return Usage();
  if (opt.list) return TarvUnzip::List(opt.archive, stdout, stderr);
  return TarvUnzip::Unzip(opt.archive, opt.folder, stderr);
}

}  // namespace

#ifdef _WIN32
// Windows hands the arguments over as UTF-16 (the 8-bit ones would lose
// every character outside the system's code page); the rest takes UTF-8.
int wmain(int argc, wchar_t** wide) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) args.push_back(TarvText::ToUtf8(wide[i]));
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return Main(argc, argv.data());
}
#else
int main(int argc, char** argv) { return Main(argc, argv); }
#endif
