// The file of a project directory that holds the records logged while the sending thread could
// not keep up, oldest first, one JSON object a line as the store keeps them:
//   "log.overflow"      appended by the spill thread (Backlog)
//   "log.overflow.pos"  how many bytes of it the collector has answered for
// A line leaves only once the collector answered for the batch that carried it, so a kill at any
// moment loses none (a batch in flight at the kill is sent twice). The file goes once every line
// was answered for. Each operation holds the directory's store lock for its file work, as the
// store's do; within a process the caller serialises them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "transport/storeHealth.h"

namespace overflowFile {

enum class Appended { Written, NotWritten, Busy };
// Appends each line (a JSON object, without line end). NotWritten is logged through health.
Appended append(const std::string& directory, const std::vector<std::string>& lines,
                StoreHealth& health);

// The next lines not answered for, at most the store's batch bytes (a longer single line goes
// alone), and where they end; false when there are none or the store is busy.
bool nextBatch(const std::string& directory, std::vector<std::string>& lines, uint64_t& end,
               StoreHealth& health);
// The lines up to `end` were answered for. True when nothing is left: the file is gone then.
// False also when the store was busy (the batch goes again).
bool confirm(const std::string& directory, uint64_t end, StoreHealth& health);

// Bytes not answered for yet; they count against the device bound with the store's.
uint64_t unsentBytes(const std::string& directory);

}  // namespace overflowFile
