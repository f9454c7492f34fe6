#include "tools/backend-sim/SelfSignedCert.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <stdexcept>

namespace {

[[noreturn]] void Fail(const char* what) {
  char reason[256] = "unknown";
  unsigned long err = ERR_get_error();
  if (err != 0) ERR_error_string_n(err, reason, sizeof(reason));
  throw std::runtime_error(std::string(what) + ": " + reason);
}

void AddExtension(X509* cert, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (ext == nullptr) Fail("certificate extension");
  const int ok = X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
  if (ok != 1) Fail("certificate extension");
}

struct FileCloser {
  void operator()(FILE* f) const noexcept { std::fclose(f); }
};

}  // namespace

SelfSignedCert MakeSelfSignedCert() {
  SelfSignedCert out;
  out.key.reset(EVP_EC_gen("P-256"));
  if (!out.key) Fail("key generation");
  out.cert.reset(X509_new());
  if (!out.cert) Fail("X509_new");
  X509* x = out.cert.get();
  X509_set_version(x, 2);
  unsigned char serial[16];
  if (RAND_bytes(serial, sizeof(serial)) != 1) Fail("serial");
  serial[0] &= 0x7F;
  BIGNUM* bn = BN_bin2bn(serial, sizeof(serial), nullptr);
  if (bn == nullptr || BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(x)) == nullptr) Fail("serial");
  BN_free(bn);
  X509_gmtime_adj(X509_getm_notBefore(x), -3600);
  X509_gmtime_adj(X509_getm_notAfter(x), 24 * 3600);
  X509_set_pubkey(x, out.key.get());
  X509_NAME* name = X509_get_subject_name(x);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("zep test back-end"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"),
                             -1, -1, 0);
  X509_set_issuer_name(x, name);
  AddExtension(x, NID_basic_constraints, "critical,CA:TRUE");
  AddExtension(x, NID_key_usage, "critical,digitalSignature,keyCertSign");
  AddExtension(x, NID_ext_key_usage, "serverAuth");
  AddExtension(x, NID_subject_key_identifier, "hash");
  AddExtension(x, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost");
  if (X509_sign(x, out.key.get(), EVP_sha256()) == 0) Fail("signing");
  return out;
}

void WriteCertPem(const X509* cert, const std::string& path) {
  std::unique_ptr<FILE, FileCloser> f(std::fopen(path.c_str(), "w"));
  if (!f) throw std::runtime_error("cannot write " + path);
  if (PEM_write_X509(f.get(), cert) != 1) Fail("writing the certificate");
}

void WriteKeyPem(EVP_PKEY* key, const std::string& path) {
  std::unique_ptr<FILE, FileCloser> f(std::fopen(path.c_str(), "w"));
  if (!f) throw std::runtime_error("cannot write " + path);
  if (PEM_write_PrivateKey(f.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) Fail("writing the key");
}

SelfSignedCert LoadCert(const std::string& certPath, const std::string& keyPath) {
  SelfSignedCert out;
  std::unique_ptr<FILE, FileCloser> cf(std::fopen(certPath.c_str(), "r"));
  if (!cf) throw std::runtime_error("cannot read " + certPath);
  out.cert.reset(PEM_read_X509(cf.get(), nullptr, nullptr, nullptr));
  if (!out.cert) Fail("reading the certificate");
  std::unique_ptr<FILE, FileCloser> kf(std::fopen(keyPath.c_str(), "r"));
  if (!kf) throw std::runtime_error("cannot read " + keyPath);
  out.key.reset(PEM_read_PrivateKey(kf.get(), nullptr, nullptr, nullptr));
  if (!out.key) Fail("reading the key");
  return out;
}
