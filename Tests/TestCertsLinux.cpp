#include <array>
#include <cstdio>
#include <memory>
#include <stdexcept>

#include "Tests/TestCerts.h"

namespace testcerts {

namespace {

std::string shellQuoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

}  // namespace

void makeCertificateMaterial(const std::string& dir) {
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
}

}  // namespace testcerts
