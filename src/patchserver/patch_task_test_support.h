// What the tests of the patch server task share: a task that records its
// report lines, the catalogue text of one patch, and a fixture with a
// loopback HTTP server and a temporary folder. Included by tests only.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "data/file_util.h"
#include "patchserver/patch_server_task.h"
#include "servers/test_servers.h"
#include "support/test_support.h"

namespace tarvtest {

// Records what the task reports, as "level|text".
class RecordingTask : public PatchServerTask {
 public:
  void Report(int level, const std::string& text) override {
    reports.push_back(std::to_string(level) + "|" + text);
  }
  std::vector<std::string> reports;
};

inline std::wstring W(const std::string& s) { return TarvUtil::ToWide(s); }

inline std::string Catalogue(const std::string& source, const std::string& target) {
  return "source-version: " + source + "\r\ntarget-version: " + target +
         "\r\npatch-exe-url: p.exe\r\npatch-data-url: data/" + source + "_to_" + target +
         ".zip\r\n";
}

class PatchTaskTest : public testing::Test {
 protected:
  PatchTaskTest() : pause_("TARV_INET_RETRY_PAUSE_MS", "10") {}
  ScopedEnv pause_;
  HttpTestServer http_;
  ScopedTempDir temp_;
};

}  // namespace tarvtest
