// Whole files as text, for tests that lay out a library's storage by hand or read back what it
// wrote.
#pragma once

#include <string>

namespace qm_test {

// The file's bytes; empty when it cannot be read.
std::string readFileText(const std::string& path);
// Replaces the file with `content`, making the directories above it first: tests lay out project
// directories the library has not made yet.
void writeFileText(const std::string& path, const std::string& content);

}  // namespace qm_test
