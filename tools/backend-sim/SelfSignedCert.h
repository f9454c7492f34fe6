#pragma once
// A throw-away certificate for the test back-end: P-256 key, valid for a day,
// subjectAltName IP:127.0.0.1 and DNS:localhost, self-signed so that clients
// can trust it as their CA file.
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

struct X509Deleter {
  void operator()(X509* x) const noexcept { X509_free(x); }
};
struct PkeyDeleter {
  void operator()(EVP_PKEY* k) const noexcept { EVP_PKEY_free(k); }
};

struct SelfSignedCert {
  std::unique_ptr<X509, X509Deleter> cert;
  std::unique_ptr<EVP_PKEY, PkeyDeleter> key;
};

// Throws std::runtime_error with OpenSSL's reason on failure.
SelfSignedCert MakeSelfSignedCert();
void WriteCertPem(const X509* cert, const std::string& path);
void WriteKeyPem(EVP_PKEY* key, const std::string& path);
SelfSignedCert LoadCert(const std::string& certPath, const std::string& keyPath);
