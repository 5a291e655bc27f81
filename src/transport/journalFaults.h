// The journals' SIGBUS handling. A journal is a shared file mapping; a file truncated from
// outside (the app clearing its folder, a cleaner) faults every access to its pages past the new
// end, on whatever thread makes it. The handler turns the faulting journal's pages into
// anonymous memory, so the access goes on into memory nobody reads, and marks the journal lost;
// the sending thread then gives it up. The table the handler reads is the one piece of journal
// state a signal handler reaches: fixed slots of atomics, no allocation, no lock.
#pragma once

#include <signal.h>

#include <cstddef>

namespace journalFaults {

struct Slot;

// Watches [begin, begin + bytes) and installs the handler (once per process, in front of the
// SIGBUS handler installed before it). nullptr when every slot is taken.
Slot* watch(void* begin, size_t bytes);
// The mapping is going away: the slot is free again.
void release(Slot* slot);
// True once the pages were taken over, by a fault or by giveUp.
bool lost(const Slot* slot);
// Takes the pages over now, before a fault does (the file was seen to shrink).
void giveUp(Slot* slot);
// For a SIGBUS handler that runs before the journals' own (the crash catcher's): true when the
// fault was an access to a watched journal, now taken care of (the access can go on).
// Async-signal-safe.
bool recover(const siginfo_t* info);

}  // namespace journalFaults
