// A fresh directory under /tmp that is removed, with everything in it, when the object goes.
#pragma once

#include <string>

namespace qm_test {

class TempDir {
public:
    // Throws std::runtime_error when no directory can be made.
    explicit TempDir(const std::string& prefix = "qm_test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    // path() + "/" + name; creates nothing.
    std::string file(const std::string& name) const;

private:
    std::string m_path;
};

}  // namespace qm_test
