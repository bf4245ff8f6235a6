// Assertions for broken invariants: the text and the call stack go to the
// system log, then the program ends through abort(). Callable from any
// thread; the report holds the diagnostics lock so its lines stay together.
#pragma once

// Does nothing when `condition` holds. Otherwise logs "Assertion failed: "
// with `text`, the call stack with resolved frames, and aborts.
void AssertFailed(bool condition, const char* text);
