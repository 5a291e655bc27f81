#include "support/ca_folder.h"

#include <stdio.h>

#include <memory>
#include <stdexcept>

namespace qm_test {
namespace {

struct PipeCloser {
    void operator()(FILE* pipe) const { ::pclose(pipe); }
};

std::string openssl(const std::string& arguments) {
    const std::string command = "openssl " + arguments + " 2>/dev/null";
    std::unique_ptr<FILE, PipeCloser> pipe(::popen(command.c_str(), "r"));
    if (!pipe) throw std::runtime_error("cannot run: " + command);
    std::string output;
    char buffer[4096];
    for (size_t got; (got = fread(buffer, 1, sizeof buffer, pipe.get())) > 0;) {
        output.append(buffer, got);
    }
    if (::pclose(pipe.release()) != 0 || output.empty()) {
        throw std::runtime_error("failed: " + command);
    }
    return output;
}

}  // namespace

std::string androidCaText(const std::string& pemFile) {
    return openssl("x509 -in '" + pemFile + "'") +
           openssl("x509 -noout -text -fingerprint -in '" + pemFile + "'");
}

std::string hashedCaName(const std::string& pemFile, bool oldHash) {
    std::string hash =
        openssl(std::string("x509 -noout ") + (oldHash ? "-subject_hash_old" : "-subject_hash") +
                " -in '" + pemFile + "'");
    while (!hash.empty() && (hash.back() == '\n' || hash.back() == '\r')) hash.pop_back();
    return hash + ".0";
}

}  // namespace qm_test
