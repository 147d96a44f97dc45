#pragma once

#include <string>

struct CertificateFiles {
    std::string certificate;  // PEM; clients trust it as their CA file
    std::string privateKey;   // PEM, readable by the owner only
    bool created = false;     // made on this call rather than reused
};

// Makes sure `folder` holds a self-signed certificate for 127.0.0.1 and
// localhost (EC P-256, valid ten years) with its key; reuses them when both
// are there, so clients that trusted it once keep trusting it.
// Throws std::runtime_error on failure.
CertificateFiles ensureSelfSignedCertificate(const std::string& folder);
