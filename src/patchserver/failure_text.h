// The line that tells a player why a server or a download failed, in the
// calling thread's language (the string table of os/messages). Any thread.
#pragma once

#include <string>

#include "inet/transfer_control.h"

namespace TarvPatchServer {

// One sentence naming `failure`'s cause in plain words; the HTTP status is
// given for kHttpStatus. kNone and kCancelled give the general connection
// failure text (callers do not report a cancel).
std::wstring DescribeFailure(const TarvInet::TransferFailure& failure);

}  // namespace TarvPatchServer
