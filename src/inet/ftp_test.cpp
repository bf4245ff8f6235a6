#include "inet/ftp.h"

#include <gtest/gtest.h>

#include "servers/test_servers.h"

namespace {

using tarvtest::FtpOptions;
using tarvtest::FtpTestServer;

std::string Contents(TarvDataBufferMemoryDynamic& b) {
  return std::string(reinterpret_cast<const char*>(b.Data()), b.GetSize());
}

// The commands after the login, without the connection's own bookkeeping.
std::vector<std::string> Transfers(const FtpTestServer& server) {
  std::vector<std::string> out;
  for (const auto& c : server.Commands()) {
    if (c.rfind("REST", 0) == 0 || c.rfind("RETR", 0) == 0 || c.rfind("USER", 0) == 0 ||
        c.rfind("PASV", 0) == 0) {
      out.push_back(c);
    }
  }
  return out;
}

// A disk that fills up after 30000 bytes.
class DiskFullBuffer : public TarvDataBufferMemoryDynamic {
 public:
  DataBufferResult Write(const void* bytes, uint32_t count) override {
    if (GetPosition() + count > 30000) return DB_IO_ERROR;
    return TarvDataBufferMemoryDynamic::Write(bytes, count);
  }
};

class FtpTest : public testing::Test {
 protected:
  void Serve(FtpTestServer& server) { tarvtest::WriteFile(server.root() + "/pub/f.bin", data_); }
  std::string data_ = tarvtest::RandomBytes(200000, 3);
};

TEST_F(FtpTest, DownloadsResumesAndRecoversAsTheServerAllows) {
  struct Case {
    const char* name;
    FtpOptions options;
    std::string before;            // what the buffer holds before
    std::vector<std::string> log;  // lines written
    std::vector<std::string> transfers;
  };
  const std::string head = data_.substr(0, 1000);
  const Case cases[] = {
      {"fresh", {}, "", {}, {"USER anonymous", "RETR pub/f.bin"}},
      {"resume",
       {},
       head,
       {"TarvFTP::GetFileAtPath> resuming download of \"pub/f.bin\" at byte 1000."},
       {"USER anonymous", "REST 1000", "RETR pub/f.bin"}},
      // Stale bytes that must not survive: the refused restart empties the buffer.
      {"refused",
       {.refuse_rest = true},
       std::string(1000, 'x'),
       {"TarvFTP::GetFileAtPath> unable to resume download of \"pub/f.bin\" (error 31)."},
       // libcurl drops the connection after a refusal and logs in again.
       {"USER anonymous", "REST 1000", "USER anonymous", "REST 1000", "USER anonymous",
        "RETR pub/f.bin"}},
      {"reset_on_open",
       {.drop_on_retr = 1},
       std::string(1000, 'x'),
       {"TarvFTP::GetFileAtPath> resuming download of \"pub/f.bin\" at byte 1000."},
       {"USER anonymous", "REST 1000", "RETR pub/f.bin", "USER anonymous", "RETR pub/f.bin"}},
      // The reply names 127.0.0.2, where nothing listens; the data
      // connection goes to the control connection's host all the same.
      {"pasv_address_ignored",
       {.no_epsv = true, .masquerade = "127.0.0.2"},
       "",
       {},
       {"USER anonymous", "PASV", "RETR pub/f.bin"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FtpTestServer server(c.options);
    Serve(server);
    TarvFTP ftp;
    ASSERT_EQ(ftp.Open("127.0.0.1", "", "", TarvFTP::kPassive, server.port()), INET_OK);
    TarvDataBufferMemoryDynamic buffer;
    buffer.Write(c.before.data(), static_cast<uint32_t>(c.before.size()));
    InetResult result = INET_FAILED;
    auto lines =
        tarvtest::CaptureStdoutLines([&] { result = ftp.GetFileAtPath("pub/f.bin", &buffer); });
    EXPECT_EQ(result, INET_OK);
    EXPECT_TRUE(Contents(buffer) == data_) << "size " << buffer.GetSize();
    EXPECT_EQ(lines, c.log);
    EXPECT_EQ(Transfers(server), c.transfers);
  }
}

TEST_F(FtpTest, FailuresAndTheirLogLines) {
  FtpTestServer server({.user = "joe", .password = "s3cret"});
  Serve(server);
  TarvFTP ftp;
  TarvDataBufferMemoryDynamic buffer;
  EXPECT_EQ(ftp.GetFileAtPath("pub/f.bin", &buffer), INET_NOT_CONNECTED);
  uint64_t size = 1;
  EXPECT_EQ(ftp.GetFileSize("pub/f.bin", size), INET_NOT_CONNECTED);

  InetResult result = INET_FAILED;
  auto lines = tarvtest::CaptureStdoutLines(
      [&] { result = ftp.Open("127.0.0.1", "joe", "wrong", TarvFTP::kPassive, server.port()); });
  EXPECT_EQ(result, INET_FAILED);
  EXPECT_EQ(lines, std::vector<std::string>{
                       "TarvFTP::Open> Connection to \"127.0.0.1\" failed with error 67"});
  EXPECT_FALSE(ftp.IsConnected());

  ASSERT_EQ(ftp.Open("127.0.0.1", "joe", "s3cret", TarvFTP::kPassive, server.port()), INET_OK);
  lines = tarvtest::CaptureStdoutLines([&] { result = ftp.GetFileAtPath("pub/none", &buffer); });
  EXPECT_EQ(result, INET_FAILED);
  EXPECT_EQ(lines, std::vector<std::string>{"FtpOpenFile returned 78."});
  EXPECT_EQ(server.CountCommands("SIZE pub/none"), 2);  // two attempts to open

  EXPECT_EQ(ftp.GetFileSize("pub/f.bin", size), INET_OK);
  EXPECT_EQ(size, data_.size());
  lines = tarvtest::CaptureStdoutLines([&] { result = ftp.GetFileSize("pub/none", size); });
  EXPECT_EQ(result, INET_FAILED);
  EXPECT_EQ(size, 0u);
  EXPECT_TRUE(lines.empty());

  DiskFullBuffer full;
  lines = tarvtest::CaptureStdoutLines([&] { result = ftp.GetFileAtPath("pub/f.bin", &full); });
  EXPECT_EQ(result, INET_WRITE_FAILED);
  EXPECT_EQ(lines, std::vector<std::string>{"WriteData returned 2"});
  EXPECT_EQ(full.GetSize(), 16384u);  // whole chunks only

  ftp.Close();
  EXPECT_EQ(ftp.GetFileAtPath("pub/f.bin", &buffer), INET_NOT_CONNECTED);
}

// A size of 4 GiB or more cannot be a patch this program takes: it is
// refused with a log line, never wrapped to a small number.
TEST_F(FtpTest, SizeBeyond32BitsIsRefused) {
  struct Case {
    const char* reply;
    InetResult result;
    uint64_t size;
  };
  for (const Case& c : {Case{"4294967295", INET_OK, 4294967295u},
                        Case{"4294967296", INET_FAILED, 0}, Case{"5000000000", INET_FAILED, 0}}) {
    SCOPED_TRACE(c.reply);
    FtpTestServer server({.size_reply = c.reply});
    Serve(server);
    TarvFTP ftp;
    ASSERT_EQ(ftp.Open("127.0.0.1", "", "", TarvFTP::kPassive, server.port()), INET_OK);
    uint64_t size = 7;
    InetResult result = INET_NOT_CONNECTED;  // neither answer the cases expect
    auto lines = tarvtest::CaptureStdoutLines([&] { result = ftp.GetFileSize("pub/f.bin", size); });
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(size, c.size);
    if (c.result != INET_OK) {
      EXPECT_EQ(lines,
                std::vector<std::string>{"FtpGetFileSize> size beyond 32 bits for pub/f.bin"});
    }
  }
}

TEST_F(FtpTest, CutDataConnectionLeavesWhatArrived) {
  FtpTestServer server({.cut_after = 50000});
  Serve(server);
  TarvFTP ftp;
  ASSERT_EQ(ftp.Open("127.0.0.1", "", "", TarvFTP::kPassive, server.port()), INET_OK);
  TarvDataBufferMemoryDynamic buffer;
  InetResult result = INET_FAILED;
  auto lines =
      tarvtest::CaptureStdoutLines([&] { result = ftp.GetFileAtPath("pub/f.bin", &buffer); });
  EXPECT_EQ(result, INET_FAILED);
  EXPECT_EQ(Contents(buffer), data_.substr(0, 50000));
  EXPECT_EQ(lines,
            std::vector<std::string>{"InternetReadFile returned 18 with actualByteCount=50000"});
}

}  // namespace
