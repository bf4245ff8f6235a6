#include "repair_store.h"

#include <zstd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>

#include "apply/repair_manifest.h"
#include "crypto/sha256.h"
#include "data/file_io.h"
#include "data/file_util.h"

namespace mkpatch {
namespace {

namespace fs = std::filesystem;

// Objects are compressed once and fetched by every player who repairs, but
// a whole game at the highest levels would take hours to publish.
constexpr int kObjectLevel = 9;

struct FileCloser {
  void operator()(FILE* f) const { fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// Streams `source` through zstd into `out`.
bool Compress(const std::string& source, TarvFile::AtomicFile* out) {
  File in(TarvFile::OpenRegularForReading(source));
  std::unique_ptr<ZSTD_CCtx, size_t (*)(ZSTD_CCtx*)> cctx(ZSTD_createCCtx(), ZSTD_freeCCtx);
  if (!in || !cctx) return false;
  ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_compressionLevel, kObjectLevel);
  ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_checksumFlag, 1);
  std::vector<char> input(ZSTD_CStreamInSize()), output(ZSTD_CStreamOutSize());
  for (;;) {
    size_t n = fread(input.data(), 1, input.size(), in.get());
    if (ferror(in.get())) return false;
    bool last = n < input.size();
    ZSTD_inBuffer ib{input.data(), n, 0};
    ZSTD_EndDirective mode = last ? ZSTD_e_end : ZSTD_e_continue;
    size_t remaining = 0;
    do {
      ZSTD_outBuffer ob{output.data(), output.size(), 0};
      remaining = ZSTD_compressStream2(cctx.get(), &ob, &ib, mode);
      if (ZSTD_isError(remaining) || !out->Write(output.data(), ob.pos)) return false;
    } while (last ? remaining != 0 : ib.pos < ib.size);
    if (last) return true;
  }
}

// The installation's files below `root`, by relative path with "/".
bool ListFiles(const std::string& root, std::vector<std::string>* files, std::string* error) {
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    if (it->is_symlink(ec) || (!it->is_regular_file(ec) && !it->is_directory(ec))) {
      *error = it->path().string() + ": links, devices and pipes cannot be shipped";
      return false;
    }
    if (it->is_regular_file(ec)) files->push_back(fs::relative(it->path(), root).generic_string());
  }
  if (ec) *error = root + ": cannot be read: " + ec.message();
  std::sort(files->begin(), files->end());
  return !ec;
}

std::string Under(const std::string& base, const std::string& rel) {
  std::string out = base;
  out += '/';
  out += rel;
  return out;
}

std::string ListForm(std::string rel) {
  for (char& c : rel) c = c == '/' ? '\\' : c;
  return rel;
}

class Store {
 public:
  Store(std::string server, RepairStoreSummary* summary)
      : m_server(std::move(server)), m_summary(summary) {}

  // The manifest text of the tree at `root`; its objects stored.
  bool AddVersion(const std::string& root, std::string* manifest, std::string* error) {
    std::vector<std::string> files;
    if (!ListFiles(root, &files, error)) return false;
    std::vector<TarvPatch::ManifestEntry> entries;
    for (const std::string& rel : files) {
      TarvPatch::ManifestEntry e;
      e.path = ListForm(rel);
      const std::string disk = Under(root, rel);
      std::error_code ec;
      e.size = fs::file_size(disk, ec);
      if (ec || !TarvCrypto::ComputeFileSha256(TarvUtil::FromFsPath(disk), &e.sha256)) {
        *error = disk + ": cannot be read";
        return false;
      }
      if (!StoreObject(disk, e.sha256, error)) return false;
      entries.push_back(e);
    }
    *manifest = TarvPatch::RepairManifest::Format(entries);
    return true;
  }

 private:
  bool StoreObject(const std::string& disk, const std::string& sha256, std::string* error) {
    if (!m_done.insert(sha256).second) return true;
    std::string path = m_server + "/" + TarvPatch::ObjectAddress(sha256);
    std::error_code ec;
    if (fs::is_regular_file(path, ec)) {
      ++m_summary->objects_kept;
      return true;
    }
    fs::create_directories(fs::path(path).parent_path(), ec);
    if (ec) {
      *error = path + ": its folder cannot be made: " + ec.message();
      return false;
    }
    TarvFile::AtomicFile object;
    if (!object.Create(path, {}, error)) return false;
    if (!Compress(disk, &object)) {
      *error = path + ": cannot be written from " + disk;
      return false;
    }
    if (!object.Commit(error)) return false;
    ++m_summary->objects_written;
    return true;
  }

  std::string m_server;
  RepairStoreSummary* m_summary;
  std::set<std::string> m_done;
};

}  // namespace

bool WriteRepairStore(const std::string& server,
                      const std::vector<std::pair<std::string, std::string>>& versions,
                      std::string* records, RepairStoreSummary* summary, std::string* error) {
  Store store(server, summary);
  std::error_code ec;
  fs::create_directories(server + "/manifests", ec);
  if (ec) {
    *error = server + "/manifests: cannot be made: " + ec.message();
    return false;
  }
  for (const auto& [name, dir] : versions) {
    std::string manifest;
    if (!store.AddVersion(dir, &manifest, error)) return false;
    std::string address = "manifests/" + name + ".txt";
    if (!TarvFile::ReplaceFile(Under(server, address), manifest, {}, error)) return false;
    *records += "\r\nmanifest-version: ";
    *records += name;
    *records += "\r\nmanifest-url: ";
    *records += address;
    *records += "\r\nmanifest-sha256: ";
    *records += TarvCrypto::Sha256Hex(manifest.data(), manifest.size());
    *records += "\r\n";
  }
  return true;
}

}  // namespace mkpatch
