// The journal files of a project directory and how a process takes one: "log.journal" for the
// first process of the app, "log.journal.<n>" for each further one (an app's ":service"
// process), each held with flock by the process that journals into it, so a process that dies
// lets go of its file at once and its leftovers are there for the next start.
#pragma once

#include <cstddef>
#include <string>

#include "transport/journalFaults.h"

namespace journalFile {

// Files a directory may hold: the processes of an app beyond these journal nothing.
constexpr size_t kFiles = 5;

// "/log.journal" or "/log.journal.<index>".
std::string name(size_t index);

// A journal file held, sized and mapped shared, its pages watched by the SIGBUS handler.
struct Mapped {
    int fd = -1;
    unsigned char* map = nullptr;
    journalFaults::Slot* slot = nullptr;
};

enum class Taken { Mapped, Busy, Failed };

// Takes the file `index` of the directory. create: made and its blocks reserved when missing or
// short (the journal of this process); otherwise only a whole file that exists (the leftovers
// of a process that has ended), and quietly. Busy when another process holds it.
Taken take(const std::string& directory, size_t index, bool create, Mapped& mapped);

}  // namespace journalFile
