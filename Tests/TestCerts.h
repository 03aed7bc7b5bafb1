// testcerts::testCerts(): the TLS certificate material for tests and benchmarks, generated at
// run time by Tests/certs/make-test-certs.sh into <build dir>/Tests/certs (once per build tree;
// later calls, also from other processes, find it ready). Safe to call from any thread; the
// first call generates, later ones return the same object.
//
//   #include "Tests/TestCerts.h"
//   const testcerts::CertFiles& certs = testcerts::testCerts();
//   SSL_CTX_load_verify_locations(ctx, certs.caCert.c_str(), nullptr);
//
// Throws std::runtime_error (with the script's output) when the material cannot be made.
#pragma once

#include <string>

namespace testcerts {

// The pass phrase that encrypts clientKey.
inline constexpr const char* kClientKeyPassPhrase = "wexol";

struct CertFiles {
    std::string dir;
    std::string caCert;  // the trusted test CA
    std::string caKey;
    std::string serverCert;  // for 127.0.0.1 and localhost, by caCert
    std::string serverKey;
    std::string clientCert;       // by caCert
    std::string clientKey;        // encrypted under kClientKeyPassPhrase
    std::string otherCaCert;      // an unrelated CA that nothing trusts
    std::string otherServerCert;  // for 127.0.0.1 and localhost, by otherCaCert
    std::string otherServerKey;
    std::string otherClientCert;  // by otherCaCert
    std::string otherClientKey;   // not encrypted
    std::string wrongKey;         // matches none of the certificates
    std::string corruptPem;       // a PEM certificate block whose body is broken
    std::string evilServerCert;   // for evil.example only, by caCert
    std::string evilServerKey;
    std::string soonClientCert;  // by caCert for clientKey, expires 10 days after it was made
};

const CertFiles& testCerts();

// Makes the material in dir unless it is there already (TestCertsLinux.cpp runs the script; on
// Windows the build has made it on the host, and TestCertsWindows.cpp checks that it is there).
// Throws std::runtime_error when it cannot.
void makeCertificateMaterial(const std::string& dir);

}  // namespace testcerts
