#include "support/file_text.h"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace qm_test {

std::string readFileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFileText(const std::string& path, const std::string& content) {
    // Throws when the directories cannot be made: a layout that did not happen must not pass for
    // one the library refused.
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (!parent.empty()) std::filesystem::create_directories(parent);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

}  // namespace qm_test
