#include "inet/buffer_sink.h"

#include <algorithm>
#include <string>
#include <thread>

#include "inet/internet_session.h"

void BufferSink::Attach(CURL* handle) {
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &BufferSink::OnData);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, this);
}

size_t BufferSink::OnData(char* data, size_t size, size_t count, void* self) {
  auto* sink = static_cast<BufferSink*>(self);
  size_t bytes = size * count;
  if (sink->m_refused) return 0;
  if (sink->m_received == 0) sink->m_start = std::chrono::steady_clock::now();
  if (sink->m_limit != 0 &&
      sink->m_buffer->GetPosition() + static_cast<uint64_t>(bytes) > sink->m_limit) {
    sink->m_tooLong = true;
    return 0;  // the rest of the body is never stored
  }
  for (size_t done = 0; done < bytes;) {
    uint32_t n =
        static_cast<uint32_t>(std::min<size_t>(bytes - done, TarvInetInternal::kChunkSize));
    DataBufferResult r = sink->m_buffer->Write(data + done, n);
    if (r != DB_OK) {
      sink->m_writeResult = r;
      return 0;  // stops the transfer with CURLE_WRITE_ERROR
    }
    sink->m_received += n;
    done += n;
  }
  sink->KeepToRate();
  return bytes;
}

void BufferSink::KeepToRate() {
  if (m_rate == 0) return;
  auto due = m_start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                           std::chrono::duration<double>(static_cast<double>(m_received) /
                                                         static_cast<double>(m_rate)));
  // A short wait: under a cap libcurl hands over about a tenth of a
  // second's worth at once (at least 1 KiB, see ApplyLimits), so a cancel
  // is still seen soon after.
  std::this_thread::sleep_until(due);
}

InetResult BufferSink::Finish(CURLcode code) const {
  if (WriteFailed()) {
    TarvInetInternal::LogLine("WriteData returned " + std::to_string(m_writeResult));
    return INET_WRITE_FAILED;
  }
  if (m_tooLong) {
    TarvInetInternal::LogLine("InternetReadFile> more than " + std::to_string(m_limit) + " bytes");
    return INET_FAILED;
  }
  if (code == CURLE_OK) return INET_OK;
  TarvInetInternal::LogLine("InternetReadFile returned " + std::to_string(code) +
                            " with actualByteCount=" + std::to_string(m_received));
  return INET_FAILED;
}
