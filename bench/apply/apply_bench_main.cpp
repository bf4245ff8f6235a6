// Generates an installation (a few thousand files, one large file, about
// 1 GiB), a new version of it (a tenth of the files changed in scattered
// places, some added, some deleted) and its patch, unpacked. Then, alternately
// for several rounds on fresh copies of the installation: `tarv-mkpatch
// apply` against a shell script doing the same work with standard tools
// (md5sum of each patched file, zstd -d --patch-from, md5sum of each result,
// cp of the added files, rm of the deleted files). Then jpatch against
// `zstd -d --patch-from` on the large file, with their peak memory.
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct RunStats {
  int exit_code = -1;
  double seconds = 0;
};

// Runs a program (stdout and stderr to /dev/null) and measures it.
RunStats Run(const std::vector<std::string>& argv) {
  std::vector<char*> cargv;
  for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
  cargv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", 0, 0);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", 1, 0);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", 1, 0);
  RunStats s;
  auto t0 = std::chrono::steady_clock::now();
  pid_t pid;
  if (posix_spawn(&pid, cargv[0], &fa, nullptr, cargv.data(), environ) != 0) return s;
  posix_spawn_file_actions_destroy(&fa);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  s.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  s.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return s;
}

// Peak resident size of a program in KiB, measured by GNU time: a child
// spawned from this process would report this process's own peak (the
// generator's) as its starting point.
long PeakKiB(const std::vector<std::string>& argv, const std::string& report) {
  std::vector<std::string> timed = {"/usr/bin/time", "-f", "%M", "-o", report};
  timed.insert(timed.end(), argv.begin(), argv.end());
  if (Run(timed).exit_code != 0) return -1;
  long kib = -1;
  std::ifstream(report) >> kib;
  return kib;
}

bool Sh(const std::string& command) { return Run({"/bin/sh", "-c", command}).exit_code == 0; }

std::string Q(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    mkdir(path.substr(0, slash).c_str(), 0755);
  }
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<long>(bytes.size()));
  if (!out.flush()) {
    fprintf(stderr, "cannot write %s\n", path.c_str());
    exit(1);
  }
}

std::string Random(std::mt19937_64& rng, size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i + 8 <= n; i += 8) {
    uint64_t v = rng();
    memcpy(&s[i], &v, 8);
  }
  return s;
}

void Scatter(std::mt19937_64& rng, std::string* s) {
  // The first change falls inside even the smallest file.
  size_t first = rng() % std::min<size_t>(4096, s->size());
  for (size_t i = first; i < s->size(); i += 65536 + rng() % 65536) (*s)[i] ^= 0x5a;
}

struct Layout {
  std::vector<std::string> patched, added, deleted;
  std::string large = "Data/large.pak";
};

// Old and new trees under root/old and root/new.
Layout Generate(const std::string& root, size_t mib, size_t files) {
  std::mt19937_64 rng(42);
  Layout l;
  size_t large_size = (mib / 4) << 20, budget = (mib << 20) - large_size;
  std::string large = Random(rng, large_size), large_new = large;
  Scatter(rng, &large_new);
  WriteBytes(root + "/old/" + l.large, large);
  WriteBytes(root + "/new/" + l.large, large_new);
  l.patched.push_back(l.large);
  // Sizes spread evenly around budget/files, so that about `files` files
  // fill the budget.
  size_t spread = std::max<size_t>(2 * budget / files, 2), i = 0;
  for (size_t used = 0; used < budget; ++i) {
    std::string rel = "Folder" + std::to_string(i % 40) + "/file" + std::to_string(i) + ".dat";
    size_t size = 1 + rng() % spread;
    used += size;
    std::string content = Random(rng, size), changed = content;
    WriteBytes(root + "/old/" + rel, content);
    if (i % 10 == 3) {
      Scatter(rng, &changed);
      l.patched.push_back(rel);
    }
    if (i % 30 == 7) {
      l.deleted.push_back(rel);
      continue;
    }
    WriteBytes(root + "/new/" + rel, changed);
  }
  for (size_t k = 0; k < i / 30; ++k) {
    std::string rel = "New Folder" + std::to_string(k % 5) + "/added" + std::to_string(k) + ".dat";
    WriteBytes(root + "/new/" + rel, Random(rng, 4096 + rng() % 200000));
    l.added.push_back(rel);
  }
  return l;
}

// The reference: the same work done by standard tools from a shell script.
std::string ReferenceScript(const Layout& l, const std::string& project, const std::string& inst) {
  std::string s = "set -e\ncd " + Q(inst) + "\n";
  std::string olds = "md5sum", news = "md5sum";
  for (const auto& p : l.patched) olds += " " + Q(p), news += " " + Q(p + ".new");
  s += olds + " >/dev/null\n";
  for (const auto& p : l.patched) {
    s += "zstd -q -d -f --long=31 --patch-from=" + Q(p) + " " +
         Q(project + "/data/" + p + ".diff") + " -o " + Q(p + ".new") + "\n";
  }
  s += news + " >/dev/null\n";
  for (const auto& p : l.patched) s += "mv -f " + Q(p + ".new") + " " + Q(p) + "\n";
  for (const auto& a : l.added) {
    s += "mkdir -p " + Q(a.substr(0, a.rfind('/'))) + " && cp --remove-destination " +
         Q(project + "/data/" + a) + " " + Q(a) + "\n";
  }
  std::string rm = "rm -f";
  for (const auto& d : l.deleted) rm += " " + Q(d);
  return s + rm + "\n";
}

// The paths of one of the patch's lists (three lines per entry, "\\"
// between folders): what the patch really does, which for small files can
// differ from the layout (a changed file is shipped whole when its
// difference would be larger).
std::vector<std::string> ListPaths(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> out;
  std::string line;
  for (int i = 0; std::getline(in, line); ++i) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (i % 3 != 0) continue;
    for (char& c : line) c = c == '\\' ? '/' : c;
    out.push_back(line);
  }
  return out;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 3;
  size_t mib = argc > 2 ? static_cast<size_t>(std::max(64, atoi(argv[2]))) : 1024;
  size_t files = argc > 3 ? static_cast<size_t>(std::max(100, atoi(argv[3]))) : 3000;
  std::string bin(argv[0]);
  bin = bin.substr(0, bin.rfind('/'));
  const char* tmp = getenv("TMPDIR");
  std::string root =
      std::string(tmp && *tmp ? tmp : "/tmp") + "/tarv-bench-apply-" + std::to_string(getpid());
  mkdir(root.c_str(), 0700);
  printf("generating %zu MiB in about %zu files in %s\n", mib, files, root.c_str());
  fflush(stdout);
  Layout l = Generate(root, mib, files);
  std::string jp = bin + "/jpatch";
  Sh("mkdir -p " + Q(root + "/old/Binaries") + " " + Q(root + "/new/Binaries") + " && cp " + Q(jp) +
     " " + Q(root + "/old/Binaries/jpatchl-w32.exe") + " && cp " + Q(jp) + " " +
     Q(root + "/new/Binaries/jpatchl-w32.exe"));
  std::string project = root + "/project";
  // Differences of the zstd format, so that the reference's zstd applies them.
  if (Run({bin + "/tarv-mkpatch", "patch", "--level", "3", "--format", "1", root + "/old",
           root + "/new", root + "/p.zip"})
              .exit_code != 0 ||
      Run({bin + "/tarv-unzip", "-o", "-x", root + "/p.zip", "-d", project}).exit_code != 0) {
    fprintf(stderr, "cannot make the patch\n");
    return 1;
  }
  Layout listed;
  listed.patched = ListPaths(project + "/patchedFiles.txt");
  listed.added = ListPaths(project + "/addedFiles.txt");
  listed.deleted = ListPaths(project + "/deletedFiles.txt");
  std::ofstream(root + "/reference.sh") << ReferenceScript(listed, project, root + "/inst");
  printf("%zu patched, %zu added, %zu deleted\n", l.patched.size(), l.added.size(),
         l.deleted.size());

  std::vector<double> ours, theirs;
  int failures = 0;
  for (int r = 0; r < rounds; ++r) {
    for (int which = 0; which < 2; ++which) {
      // A fresh installation of hard links: every change replaces files by
      // rename or removes them, so the pristine tree is never written to.
      Sh("rm -rf " + Q(root + "/inst") + " && cp -al " + Q(root + "/old") + " " +
         Q(root + "/inst"));
      RunStats s = which == 0 ? Run({bin + "/tarv-mkpatch", "apply", project, root + "/inst"})
                              : Run({"/bin/bash", root + "/reference.sh"});
      bool same = Sh("diff -r -q -x Binaries " + Q(root + "/inst") + " " + Q(root + "/new") +
                     " >/dev/null");
      if (s.exit_code != 0 || !same) {
        fprintf(stderr, "round %d: %s: exit code %d, %s\n", r + 1,
                which == 0 ? "tarv-mkpatch apply" : "reference", s.exit_code,
                same ? "tree as expected" : "tree differs from the new version");
        ++failures;
      }
      (which == 0 ? ours : theirs).push_back(s.seconds);
      printf("round %d: %s %.2f s\n", r + 1, which == 0 ? "tarv-mkpatch apply" : "reference",
             s.seconds);
      fflush(stdout);
    }
  }

  std::string old_large = root + "/old/" + l.large, diff = project + "/data/" + l.large + ".diff";
  std::vector<double> jt, zt;
  long jm = 0, zm = 0;
  for (int r = 0; r < std::max(rounds, 3); ++r) {
    RunStats j = Run({jp, old_large, diff, root + "/out.jpatch"});
    RunStats z = Run({"/usr/bin/zstd", "-q", "-d", "-f", "--long=31", "--patch-from=" + old_large,
                      diff, "-o", root + "/out.zstd"});
    failures += j.exit_code != 0 || z.exit_code != 0;
    jt.push_back(j.seconds), zt.push_back(z.seconds);
  }
  jm = PeakKiB({jp, old_large, diff, root + "/out.jpatch"}, root + "/peak");
  zm = PeakKiB({"/usr/bin/zstd", "-q", "-d", "-f", "--long=31", "--patch-from=" + old_large, diff,
                "-o", root + "/out.zstd"},
               root + "/peak");
  failures += jm < 0 || zm < 0;
  if (!getenv("TARV_BENCH_KEEP")) Sh("rm -rf " + Q(root));
  double large_mb = static_cast<double>((mib / 4) << 20) / 1e6;
  printf("jpatch %.1f MB/s, peak %ld KiB; zstd -d --patch-from %.1f MB/s, peak %ld KiB\n",
         large_mb / Median(jt), jm, large_mb / Median(zt), zm);
  printf("jpatch/zstd throughput: %.3f, memory: %.3f\n", Median(zt) / Median(jt),
         static_cast<double>(jm) / static_cast<double>(zm));
  if (failures) {
    fprintf(stderr, "%d runs failed\n", failures);
    return 1;
  }
  printf("median: tarv-mkpatch apply %.2f s, reference %.2f s\n", Median(ours), Median(theirs));
  printf("ratio ours/reference: %.3f\n", Median(ours) / Median(theirs));
  return 0;
}
