#include "SelfSignedCertificate.h"

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <memory>
#include <stdexcept>

#include "AtomicFile.h"

namespace {

template <typename T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* object) const { Free(object); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using CertPtr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using BnPtr = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_free>>;
using ExtPtr = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION, X509_EXTENSION_free>>;

void check(bool ok, const char* what) {
    if (ok) {
        return;
    }
    char reason[256] = "unknown error";
    unsigned long error = ERR_get_error();
    if (error != 0) {
        ERR_error_string_n(error, reason, sizeof reason);
    }
    ERR_clear_error();
    throw std::runtime_error(std::string("certificate: ") + what + ": " + reason);
}

void addExtension(X509* certificate, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
    ExtPtr extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value));
    check(extension != nullptr, value);
    check(X509_add_ext(certificate, extension.get(), -1) == 1, value);
}

std::string pemText(BIO* bio) {
    char* data = nullptr;
    long length = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<size_t>(length));
}

bool exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

}  // namespace

CertificateFiles ensureSelfSignedCertificate(const std::string& folder) {
    CertificateFiles files;
    files.certificate = folder + "/cloud-cert.pem";
    files.privateKey = folder + "/cloud-key.pem";
    if (exists(files.certificate) && exists(files.privateKey)) {
        return files;
    }

    KeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    check(key != nullptr, "key generation");
    CertPtr certificate(X509_new());
    check(certificate != nullptr, "X509_new");
    X509* cert = certificate.get();
    check(X509_set_version(cert, 2) == 1, "version");  // v3, for the extensions

    // A random positive serial, so a regenerated certificate never repeats one.
    unsigned char serialBytes[16];
    check(RAND_bytes(serialBytes, sizeof serialBytes) == 1, "serial");
    serialBytes[0] &= 0x7f;
    BnPtr serial(BN_bin2bn(serialBytes, sizeof serialBytes, nullptr));
    check(serial && BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert)), "serial");

    // An hour back, for clocks a little behind.
    check(X509_gmtime_adj(X509_getm_notBefore(cert), -3600) != nullptr, "validity");
    check(X509_time_adj_ex(X509_getm_notAfter(cert), 3653, 0, nullptr) != nullptr, "validity");

    X509_NAME* name = X509_get_subject_name(cert);
    check(X509_NAME_add_entry_by_txt(
              name, "O", MBSTRING_ASC,
              reinterpret_cast<const unsigned char*>("Zorvane stand-in cloud"), -1, -1, 0) == 1,
          "subject");
    check(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                     reinterpret_cast<const unsigned char*>("localhost"), -1, -1,
                                     0) == 1,
          "subject");
    check(X509_set_issuer_name(cert, name) == 1, "issuer");
    check(X509_set_pubkey(cert, key.get()) == 1, "public key");

    // Its own trust anchor: clients load this file as their CA file.
    addExtension(cert, NID_basic_constraints, "critical,CA:TRUE");
    addExtension(cert, NID_key_usage, "critical,digitalSignature,keyCertSign");
    addExtension(cert, NID_ext_key_usage, "serverAuth");
    addExtension(cert, NID_subject_key_identifier, "hash");
    addExtension(cert, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost");
    check(X509_sign(cert, key.get(), EVP_sha256()) > 0, "signing");

    BioPtr keyPem(BIO_new(BIO_s_mem()));
    BioPtr certPem(BIO_new(BIO_s_mem()));
    check(keyPem && certPem, "BIO_new");
    check(PEM_write_bio_PrivateKey(keyPem.get(), key.get(), nullptr, nullptr, 0, nullptr,
                                   nullptr) == 1,
          "writing the key");
    check(PEM_write_bio_X509(certPem.get(), cert) == 1, "writing the certificate");
    // Key first: a certificate on disk always has its key beside it.
    writeFileAtomically(files.privateKey, pemText(keyPem.get()), 0600);
    writeFileAtomically(files.certificate, pemText(certPem.get()), 0644);
    files.created = true;
    return files;
}
