// Times ComputeFileMD5 against `openssl md5` on one file that is already in
// the page cache, alternately for several rounds, and prints the median
// throughput of each and their ratio (ours / openssl) as the last line.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "crypto/md5.h"
#include "data/file_util.h"
#include "os/process.h"

namespace {

double Seconds(const std::chrono::steady_clock::time_point& since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

bool WriteRandomFile(const std::string& path, size_t mib) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  std::mt19937_64 rng(7);
  std::vector<uint64_t> block(1 << 17);  // 1 MiB
  for (size_t i = 0; i < mib; ++i) {
    for (auto& w : block) w = rng();
    if (fwrite(block.data(), 8, block.size(), f) != block.size()) {
      fclose(f);
      return false;
    }
  }
  return fclose(f) == 0;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 7;
  size_t mib = argc > 2 ? std::max(1, atoi(argv[2])) : 512;
  const char* tmp = getenv("TMPDIR");
  std::string path = std::string(tmp && *tmp ? tmp : "/tmp") + "/tarv-bench-md5-" +
                     std::to_string(getpid()) + ".bin";
  if (!WriteRandomFile(path, mib)) {
    fprintf(stderr, "cannot write %s\n", path.c_str());
    return 1;
  }
  std::wstring wpath = TarvUtil::FromFsPath(path), digest;
  TarvCrypto::ComputeFileMD5(wpath, digest);  // brings the file into the page cache
  std::vector<double> ours, theirs;
  const double mb = static_cast<double>(mib) * 1048576.0 / 1e6;
  int failures = 0;
  for (int r = 0; r < rounds; ++r) {
    auto t0 = std::chrono::steady_clock::now();
    failures += TarvCrypto::ComputeFileMD5(wpath, digest) ? 0 : 1;
    ours.push_back(mb / Seconds(t0));
    std::string error;
    t0 = std::chrono::steady_clock::now();
    int rc = OS::RunProgram({"/usr/bin/openssl", "md5", "-out", "/dev/null", path}, &error);
    theirs.push_back(mb / Seconds(t0));
    failures += rc == 0 ? 0 : 1;
    printf("round %d: ours %.1f MB/s, openssl %.1f MB/s\n", r + 1, ours.back(), theirs.back());
  }
  unlink(path.c_str());
  if (failures) {
    fprintf(stderr, "a digest run failed\n");
    return 1;
  }
  printf("file %zu MiB, %d rounds, median: ours %.1f MB/s, openssl md5 %.1f MB/s\n", mib, rounds,
         Median(ours), Median(theirs));
  printf("ratio ours/openssl: %.3f\n", Median(ours) / Median(theirs));
  return 0;
}
