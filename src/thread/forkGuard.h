// What the library knows about fork(): a child forked after the library started has none of
// the parent's background threads, and any lock one of them held stays held in the child for
// ever. The library's entry points ask inForkedChild() first and refuse in such a child, so it
// never waits on a lock there.
#pragma once

namespace Threads {

// Registers the fork handler (once per process); from then on every child forked is marked.
void watchForks();
// True in a child forked after watchForks(); async-signal-safe.
bool inForkedChild();

}  // namespace Threads
