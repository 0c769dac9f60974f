#include "TlsContext.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <cstdint>
#include <stdexcept>

namespace standin {
namespace {

struct KeyFree
{
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertificateFree
{
    void operator()(X509* certificate) const { X509_free(certificate); }
};
struct BioFree
{
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;
using CertificatePtr = std::unique_ptr<X509, CertificateFree>;
using BioPtr = std::unique_ptr<BIO, BioFree>;

[[noreturn]] void failWithOpenSslError(const std::string& what)
{
    std::string text = what;
    if (const unsigned long code = ERR_get_error(); code != 0) {
        char reason[256];
        ERR_error_string_n(code, reason, sizeof reason);
        text += ": ";
        text += reason;
    }
    ERR_clear_error();
    throw std::runtime_error(text);
}

struct Identity
{
    CertificatePtr certificate;
    KeyPtr key;
};

Identity makeSelfSigned()
{
    KeyPtr key(EVP_EC_gen("P-256"));
    if (!key)
        failWithOpenSslError("cannot make a key for the certificate");

    CertificatePtr certificate(X509_new());
    if (!certificate)
        failWithOpenSslError("cannot make a certificate");
    X509* cert = certificate.get();

    std::uint64_t serial = 0;
    if (RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof serial) != 1)
        failWithOpenSslError("cannot make a serial number");
    serial >>= 1; // stays positive as an ASN.1 integer

    constexpr long oneYear = 365L * 24 * 60 * 60;
    X509_NAME* name = X509_get_subject_name(cert);
    const bool built = X509_set_version(cert, X509_VERSION_3) == 1
        && ASN1_INTEGER_set_uint64(X509_get_serialNumber(cert), serial) == 1
        && X509_gmtime_adj(X509_getm_notBefore(cert), 0) != nullptr
        && X509_gmtime_adj(X509_getm_notAfter(cert), oneYear) != nullptr
        && X509_set_pubkey(cert, key.get()) == 1
        && X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                      reinterpret_cast<const unsigned char*>(selfSignedCommonName),
                                      -1, -1, 0)
            == 1
        && X509_set_issuer_name(cert, name) == 1 && X509_sign(cert, key.get(), EVP_sha256()) > 0;
    if (!built)
        failWithOpenSslError("cannot build the self-signed certificate");
    return { std::move(certificate), std::move(key) };
}

Identity readFromFiles(const std::string& certificateFile, const std::string& keyFile)
{
    BioPtr certificateBio(BIO_new_file(certificateFile.c_str(), "r"));
    if (!certificateBio)
        failWithOpenSslError("cannot open the certificate file " + certificateFile);
    CertificatePtr certificate(PEM_read_bio_X509(certificateBio.get(), nullptr, nullptr, nullptr));
    if (!certificate)
        failWithOpenSslError("no PEM certificate in " + certificateFile);

    BioPtr keyBio(BIO_new_file(keyFile.c_str(), "r"));
    if (!keyBio)
        failWithOpenSslError("cannot open the key file " + keyFile);
    KeyPtr key(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr));
    if (!key)
        failWithOpenSslError("no unencrypted PEM private key in " + keyFile);
    return { std::move(certificate), std::move(key) };
}

} // namespace

SslContextPtr makeServerContext(const std::string& certificateFile, const std::string& keyFile)
{
    if (certificateFile.empty() != keyFile.empty())
        throw std::runtime_error("a certificate file needs its key file and the other way round");
    const Identity identity =
        certificateFile.empty() ? makeSelfSigned() : readFromFiles(certificateFile, keyFile);

    SslContextPtr context(SSL_CTX_new(TLS_server_method()));
    if (!context)
        failWithOpenSslError("cannot make a TLS context");
    // The context takes its own references, so the identity can go when this returns.
    if (SSL_CTX_use_certificate(context.get(), identity.certificate.get()) != 1
        || SSL_CTX_use_PrivateKey(context.get(), identity.key.get()) != 1
        || SSL_CTX_check_private_key(context.get()) != 1)
        failWithOpenSslError("the certificate and key do not fit together");
    SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
    return context;
}

std::string certificatePemOf(SSL_CTX* context)
{
    X509* certificate = SSL_CTX_get0_certificate(context);
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!certificate || !bio || PEM_write_bio_X509(bio.get(), certificate) != 1)
        return {};
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(length));
}

} // namespace standin
