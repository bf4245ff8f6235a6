// Whether this process obeys the variables through which tests steer it
// (injected file faults and kill points, shortened network pauses). A copy
// that runs with rights its caller did not have, started by the elevation
// prompt or set-id, ignores them: whoever set its environment must not be
// able to make it fail, stop half way or wait differently on purpose. Safe
// from any thread and during static initialisation.
#pragma once

namespace TarvDiag {

bool TestHooksAllowed();

}  // namespace TarvDiag
