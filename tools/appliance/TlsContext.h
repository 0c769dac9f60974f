#pragma once

#include <openssl/ssl.h>

#include <memory>
#include <string>

namespace standin {

struct SslContextFree
{
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};
using SslContextPtr = std::unique_ptr<SSL_CTX, SslContextFree>;

inline constexpr const char* selfSignedCommonName = "velmora-standin";

// A TLS server context with the stand-in's identity: the certificate and key read from PEM
// files, or, with both names empty, a fresh self-signed certificate (an EC P-256 key, CN
// velmora-standin, valid for a year) made in memory. Throws std::runtime_error.
SslContextPtr makeServerContext(const std::string& certificateFile, const std::string& keyFile);

// The certificate of a server context, in PEM.
std::string certificatePemOf(SSL_CTX* context);

} // namespace standin
