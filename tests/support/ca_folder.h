// CA certificate files as Android keeps them in its CA folders, made with the openssl tool.
#pragma once

#include <string>

namespace qm_test {

// The certificate of pemFile as Android keeps it: its PEM block, then the text
// `openssl x509 -text` prints of it. Throws std::runtime_error when the tool fails.
std::string androidCaText(const std::string& pemFile);

// The file name for that certificate in a hashed CA folder: its subject hash and ".0". The old
// hash (`-subject_hash_old`) is Android's; the new one is what OpenSSL's folder lookup asks for.
std::string hashedCaName(const std::string& pemFile, bool oldHash);

}  // namespace qm_test
