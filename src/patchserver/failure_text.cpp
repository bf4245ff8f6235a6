#include "patchserver/failure_text.h"

#include "os/message_ids.h"
#include "os/messages.h"

namespace TarvPatchServer {

namespace {

int MessageFor(TarvInet::TransferCause cause) {
  using TarvInet::TransferCause;
  namespace Id = TarvMessages::Id;
  switch (cause) {
    case TransferCause::kHostNotFound:
      return Id::kNetHostNotFound;
    case TransferCause::kRefused:
      return Id::kNetRefused;
    case TransferCause::kHttpStatus:
      return Id::kNetHttpStatus;
    case TransferCause::kStalled:
      return Id::kNetStalled;
    case TransferCause::kTimeUp:
      return Id::kNetTimeUp;
    case TransferCause::kCertificate:
      return Id::kNetCertificate;
    case TransferCause::kDiskFull:
      return Id::kNetDiskFull;
    case TransferCause::kTooLong:
      return Id::kNetTooLong;
    case TransferCause::kNotFound:
      return Id::kNetNotFound;
    default:
      return Id::kNetOther;
  }
}

}  // namespace

std::wstring DescribeFailure(const TarvInet::TransferFailure& failure) {
  std::wstring text = TarvMessages::LoadMessage(MessageFor(failure.cause));
  size_t at = text.find(L"%d");
  if (at != std::wstring::npos) text.replace(at, 2, std::to_wstring(failure.httpStatus));
  return text;
}

}  // namespace TarvPatchServer
