// CertificateDates: the subjects and the ends of validity of the certificates in a PEM file,
// which the service reads to warn before its client certificate or a CA certificate expires.
//
// Stateless; callable from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct CertificateValidity {
    std::string subject;  // one line, as "/O=Kri Test/CN=Kri Test CA"
    int64_t notAfter;     // the last second of validity, in seconds since 1970 (UTC)
};

// Every certificate in the PEM file, in file order; empty when the file cannot be read or holds
// none.
std::vector<CertificateValidity> certificateValidities(const std::string& pemFile);
