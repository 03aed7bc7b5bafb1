#include <filesystem>
#include <stdexcept>

#include "Tests/TestCerts.h"

namespace testcerts {

// A Windows program cannot run the certificate script (a bash script calling the openssl
// program): the build runs it on the host before the tests (Tests/CMakeLists.txt).
void makeCertificateMaterial(const std::string& dir) {
    if (!std::filesystem::exists(std::filesystem::path(dir) / "soon-client.crt")) {
        throw std::runtime_error("the test certificates are missing in " + dir +
                                 ": the build makes them with Tests/certs/make-test-certs.sh");
    }
}

}  // namespace testcerts
