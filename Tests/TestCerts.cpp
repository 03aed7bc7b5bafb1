#include "Tests/TestCerts.h"

#include <array>
#include <cstdio>
#include <memory>
#include <stdexcept>

namespace testcerts {

namespace {

std::string shellQuoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

CertFiles generate() {
    const std::string dir = KRI_TEST_CERT_DIR;
    std::string command = shellQuoted(KRI_TEST_CERT_SCRIPT) + " " + shellQuoted(dir) + " 2>&1";
    std::unique_ptr<FILE, int (*)(FILE*)> script(popen(command.c_str(), "r"), pclose);
    if (!script) {
        throw std::runtime_error("cannot run " + command);
    }
    std::string output;
    std::array<char, 512> chunk;
    while (std::size_t n = std::fread(chunk.data(), 1, chunk.size(), script.get())) {
        output.append(chunk.data(), n);
    }
    if (pclose(script.release()) != 0) {
        throw std::runtime_error("making the test certificates failed: " + command + "\n" + output);
    }
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
