// Helpers shared by the tests: scoped temporary folders, whole-file reads and
// writes, the locations of the source tree and the built programs, and a
// runner for child programs that captures their output.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace tarvtest {

// A fresh folder under the system's temporary folder, removed with all its
// content when the object goes out of scope. Not thread-safe; one owner.
class ScopedTempDir {
 public:
  ScopedTempDir();
  ~ScopedTempDir();
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + relative.
  std::string Sub(const std::string& relative) const;

 private:
  std::string path_;
};

// Writes the bytes to the file, creating missing parent folders. Fails the
// current test (ADD_FAILURE) when it cannot.
void WriteFile(const std::string& path, const std::string& bytes);
// The whole file; fails the current test and returns "" when unreadable.
std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);
// Creates the folder and its parents.
void MakeDirs(const std::string& path);
// Removes a tree (links as links); no error when it is missing.
void RemoveTree(const std::string& path);
// Every regular file and link below root, as "relative/path" -> content
// (links as "->target"), sorted; folders as "relative/path/".
std::vector<std::pair<std::string, std::string>> SnapshotTree(const std::string& root);

// The MD5 of `data` in lowercase hex, from OpenSSL: a reference of its own
// against which the program's digests are checked.
std::string Md5Hex(const std::string& data);

// The source tree and the folder holding the built programs.
std::string SourceDir();
std::string BinDir();

// True in a sanitizer build's run (TARV_SANITIZED set and not empty), where
// tests shrink their largest inputs or leave long runs to the normal build.
bool Sanitized();

struct RunResult {
  int exit_code = -1;  // 128 + signal for a child killed by a signal
  std::string out;     // standard output
  std::string err;     // standard error
};
// Runs argv[0] (a path) with the arguments, no shell, standard input from
// /dev/null, and the extra environment entries ("NAME=value") added.
RunResult Run(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env = {});

// Sets (or, given a null value, removes) an environment variable for the
// lifetime of the object and restores the earlier state afterwards. Only
// while no other thread reads the environment.
class ScopedEnv {
 public:
  ScopedEnv(const std::string& name, const std::string& value);
  ScopedEnv(const std::string& name, const char* value);
  ScopedEnv(const std::string& name, const std::string* value);
  ScopedEnv(const std::string& name, std::nullptr_t)
      : ScopedEnv(name, static_cast<const char*>(nullptr)) {}
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// Deterministic pseudo-random bytes.
std::string RandomBytes(size_t n, unsigned seed);

// A number no other test process is likely to draw: for names of files and
// locks that tests running side by side must not share (std::rand starts
// the same in every process).
unsigned UniqueNumber();

// Code-like bytes: functions of filler and calls (E8) and jumps (E9) to
// the starts of functions of the first half. The new version has `grown`
// more bytes at the start of the middle function: every later function
// moves, and every call from there changes its relative operand (not its
// target).
std::string CodeLike(size_t functions, size_t grown, unsigned seed);

}  // namespace tarvtest
