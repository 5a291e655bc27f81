// Builds without Breakpad (QUILLMARK_WITH_BREAKPAD=OFF): the catcher keeps its configuration
// and never opens, so no crash is captured.
#include "crash/veskCatcher.h"

// No handler is ever made in these builds, so there is never one to delete.
void VeskCatcher::BreakExceptionDeleter::operator()(BreakException*) const {}

bool VeskCatcher::_openCrashCatcherNdk(const std::string&) { return false; }

std::string VeskCatcher::dumpDirectory() const { return std::string(); }
