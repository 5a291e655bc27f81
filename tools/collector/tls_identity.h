// A throw-away TLS identity for 127.0.0.1 / localhost, made in memory at start.
#pragma once

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "recorder.h"

namespace collector {

struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertFree {
    void operator()(X509* cert) const { X509_free(cert); }
};
struct ExtensionFree {
    void operator()(X509_EXTENSION* extension) const { X509_EXTENSION_free(extension); }
};
struct SslContextFree {
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;
using CertPtr = std::unique_ptr<X509, CertFree>;
using ExtensionPtr = std::unique_ptr<X509_EXTENSION, ExtensionFree>;
using SslContextPtr = std::unique_ptr<SSL_CTX, SslContextFree>;

inline void requireTls(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("TLS set-up failed: ") + what);
}

inline void addExtension(X509* cert, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, cert, cert, nullptr, nullptr, 0);
    const ExtensionPtr extension(
        X509V3_EXT_conf_nid(nullptr, &context, nid, const_cast<char*>(value)));
    requireTls(extension != nullptr, value);
    requireTls(X509_add_ext(cert, extension.get(), -1) == 1, value);
}

inline void setRandomSerial(X509* cert) {
    unsigned char bytes[4] = {};
    requireTls(RAND_bytes(bytes, sizeof bytes) == 1, "serial");
    // A positive serial that still differs between runs.
    const long serial = ((bytes[0] & 0x7f) << 24) | (bytes[1] << 16) | (bytes[2] << 8) | bytes[3];
    requireTls(ASN1_INTEGER_set(X509_get_serialNumber(cert), serial) == 1, "serial");
}

inline CertPtr makeSelfSignedCertificate(EVP_PKEY* key) {
    CertPtr cert(X509_new());
    requireTls(cert != nullptr, "certificate");
    requireTls(X509_set_version(cert.get(), 2) == 1, "version");
    setRandomSerial(cert.get());
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 30L * 24 * 3600);
    requireTls(X509_set_pubkey(cert.get(), key) == 1, "public key");
    X509_NAME* name = X509_get_subject_name(cert.get());
    requireTls(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                          reinterpret_cast<const unsigned char*>("127.0.0.1"), -1,
                                          -1, 0) == 1,
               "subject");
    requireTls(X509_set_issuer_name(cert.get(), name) == 1, "issuer");
    addExtension(cert.get(), NID_basic_constraints, "critical,CA:FALSE");
    addExtension(cert.get(), NID_key_usage, "critical,digitalSignature");
    addExtension(cert.get(), NID_ext_key_usage, "serverAuth");
    addExtension(cert.get(), NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost");
    requireTls(X509_sign(cert.get(), key, EVP_sha256()) > 0, "signature");
    return cert;
}

class TlsIdentity {
public:
    TlsIdentity() : m_key(EVP_EC_gen("P-256")) {
        requireTls(m_key != nullptr, "key generation");
        m_cert = makeSelfSignedCertificate(m_key.get());
    }

    X509* certificate() const { return m_cert.get(); }
    EVP_PKEY* key() const { return m_key.get(); }

    // Lets a client that checks certificates trust this one.
    void writeCertificatePem(const std::string& path) const {
        const FilePtr file(std::fopen(path.c_str(), "w"));
        requireTls(file != nullptr, "cannot write the certificate file");
        requireTls(PEM_write_X509(file.get(), m_cert.get()) == 1, "certificate file");
    }

    SslContextPtr newServerContext() const {
        SslContextPtr context(SSL_CTX_new(TLS_server_method()));
        requireTls(context != nullptr, "context");
        requireTls(SSL_CTX_use_certificate(context.get(), m_cert.get()) == 1, "certificate");
        requireTls(SSL_CTX_use_PrivateKey(context.get(), m_key.get()) == 1, "private key");
        return context;
    }

private:
    KeyPtr m_key;
    CertPtr m_cert;
};

}  // namespace collector
