#include "Tests/TestCerts.h"

namespace testcerts {

namespace {

CertFiles generate() {
    const std::string dir = KRI_TEST_CERT_DIR;
    makeCertificateMaterial(dir);
    auto file = [&dir](const char* name) { return dir + "/" + name; };
    return CertFiles{dir,
                     file("ca.crt"),
                     file("ca.key"),
                     file("server.crt"),
                     file("server.key"),
                     file("client.crt"),
                     file("client.key"),
                     file("other-ca.crt"),
                     file("other-server.crt"),
                     file("other-server.key"),
                     file("other-client.crt"),
                     file("other-client.key"),
                     file("wrong.key"),
                     file("corrupt.pem"),
                     file("evil-server.crt"),
                     file("evil-server.key"),
                     file("soon-client.crt")};
}

}  // namespace

const CertFiles& testCerts() {
    static const CertFiles files = generate();
    return files;
}

}  // namespace testcerts
