#include <signal.h>

#include "ui/describe_request.h"

namespace TarvPatch {
namespace {

void (*volatile g_request)() = nullptr;

void OnDescribeSignal(int /*signal*/) { g_request(); }

}  // namespace

void ListenForDescribeRequests(void (*request)()) {
  g_request = request;
  signal(SIGUSR1, OnDescribeSignal);
}

}  // namespace TarvPatch
