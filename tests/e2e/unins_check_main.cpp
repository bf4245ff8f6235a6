// tarv-unins-check: looks at uninstaller logs with the tests' independent
// reader, writes small valid ones for demo and test installations, and runs
// the program's own update on one (so that tests can run the update under a
// full file system or injected write errors).
//
//   tarv-unins-check FILE                 summary; exit 1 when broken
//   tarv-unins-check --make FILE [N]      a valid log of N records (default 5)
//   tarv-unins-check --update DIR REL...  UpdateUninstallLog; exit 1 on failure
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "data/file_util.h"
#include "e2e/uninstall_log_reader.h"
#include "session/uninstall_log.h"

namespace unins = tarvtest::unins;

namespace {

int Summary(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::cerr << "cannot open " << path << "\n";
    return 1;
  }
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const unins::Log log = unins::Parse(bytes);
  if (!log.error.empty()) {
    std::cout << path << ": BROKEN: " << log.error << "\n";
    return 1;
  }
  std::cout << path << ": valid, " << log.count << " records, end offset " << log.end_offset
            << " (file size " << bytes.size() << "), blocks";
  for (uint32_t n : log.block_sizes) std::cout << " " << n;
  std::cout << "\n";
  for (const auto& r : log.records) {
    bool ok = false;
    const std::string p = unins::DeletePath(r, &ok);
    if (ok) std::cout << "  delete file: " << p << "\n";
  }
  return 0;
}

int Make(const std::string& path, int count) {
  std::vector<unins::Record> records;
  for (int i = 0; i < count - 1; ++i)
    records.push_back(unins::Filler(0x20 + i % 8, 40 + i * 7, 'a' + i % 26));
  records.push_back(unins::Filler(0x81, 28, 'F'));
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << unins::Build(records);
  return out.good() ? 0 : 1;
}

int Update(int argc, char** argv) {
  std::vector<std::wstring> added;
  for (int i = 3; i < argc; ++i) added.push_back(TarvUtil::FromFsPath(argv[i]));
  std::string error;
  if (TarvPatch::UpdateUninstallLog(TarvUtil::FromFsPath(argv[2]), added, &error)) return 0;
  std::cerr << "update refused: " << error << "\n";
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string first = argc > 1 ? argv[1] : "";
  if (first == "--make" && argc >= 3)
    return Make(argv[2], argc > 3 ? std::max(1, std::atoi(argv[3])) : 5);
  if (first == "--update" && argc >= 3) return Update(argc, argv);
  if (argc == 2 && first[0] != '-') return Summary(first);
  std::cerr << "usage: tarv-unins-check FILE | --make FILE [N] | --update DIR REL...\n";
  return 2;
}
