#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509_vfy.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "SSLSockets.h"
#include "Tests/TestCerts.h"

namespace {

constexpr const char* kPassPhrase = testcerts::kClientKeyPassPhrase;

const testcerts::CertFiles& certs() {
    return testcerts::testCerts();
}

std::string missing(const char* name) {
    return certs().dir + "/" + name;
}

struct ConstructionFailure {
    const char* what;
    std::string certificate;
    std::string key;
    const char* passPhrase;
    std::string ca;
    int32_t code;
    const char* message;
};

// The code and message of the SSLContextError a construction throws; code 0 when none is thrown.
std::pair<int32_t, std::string> constructionError(const ConstructionFailure& c) {
    try {
        SSLContext context(c.certificate.c_str(), c.key.c_str(), c.passPhrase, c.ca.c_str());
    } catch (const SSLContextError& e) {
        return {e.getCode(), e.getMessage()};
    }
    return {0, {}};
}

// Whether the context's trusted authorities vouch for the certificate in the given PEM file.
bool contextTrusts(const SSLContext& context, const std::string& certificateFile) {
    std::unique_ptr<FILE, int (*)(FILE*)> in(std::fopen(certificateFile.c_str(), "r"),
                                             &std::fclose);
    X509* certificate = PEM_read_X509(in.get(), nullptr, nullptr, nullptr);
    X509_STORE_CTX* check = X509_STORE_CTX_new();
    X509_STORE_CTX_init(check, SSL_CTX_get_cert_store(context.getContext()), certificate, nullptr);
    const bool trusted = X509_verify_cert(check) == 1;
    X509_STORE_CTX_free(check);
    X509_free(certificate);
    return trusted;
}

TEST(SSLContext, EachFailingStepThrowsItsCodeAndMessage) {
    const char* certMessage = "The specified certificate could not be loaded";
    const char* keyMessage = "The specified private key file could not be loaded";
    const char* mismatchMessage =
        "The specified certificate does not match the specified private key file";
    const char* caMessage = "Unable to load the specified list of valid CAs";
    const std::vector<ConstructionFailure> failures = {
        {"missing certificate", missing("missing.pem"), certs().clientKey, kPassPhrase,
         certs().caCert, -3, certMessage},
        {"corrupt certificate", certs().corruptPem, certs().clientKey, kPassPhrase, certs().caCert,
         -3, certMessage},
        {"missing key", certs().clientCert, missing("missing.key"), kPassPhrase, certs().caCert, -4,
         keyMessage},
        {"corrupt key", certs().clientCert, certs().corruptPem, kPassPhrase, certs().caCert, -4,
         keyMessage},
        {"wrong pass phrase", certs().clientCert, certs().clientKey, "wexo", certs().caCert, -4,
         keyMessage},
        {"no pass phrase", certs().clientCert, certs().clientKey, "", certs().caCert, -4,
         keyMessage},
        {"key of another certificate", certs().clientCert, certs().wrongKey, kPassPhrase,
         certs().caCert, -5, mismatchMessage},
        {"missing CA file", certs().clientCert, certs().clientKey, kPassPhrase,
         missing("missing-ca.pem"), -8, caMessage},
        {"corrupt CA file", certs().clientCert, certs().clientKey, kPassPhrase, certs().corruptPem,
         -8, caMessage},
    };
    const int liveBefore = SSLContext::liveContexts();
    for (const ConstructionFailure& failure : failures) {
        const auto [code, message] = constructionError(failure);
        EXPECT_EQ(failure.code, code) << failure.what;
        EXPECT_EQ(failure.message, message) << failure.what;
        EXPECT_EQ(liveBefore, SSLContext::liveContexts()) << failure.what << " keeps its count";
    }
}

TEST(SSLContext, ErrorIsAYuException) {
    try {
        SSLContext context(missing("missing.pem").c_str(), certs().clientKey.c_str(), kPassPhrase,
                           certs().caCert.c_str());
        FAIL() << "no exception";
    } catch (const YuException& e) {
        EXPECT_EQ(-3, e.getCode());
        EXPECT_STREQ("The specified certificate could not be loaded", e.getMessage());
    }
}

TEST(SSLContext, TwoLiveContextsShareTheLibraryAndItStaysUsable) {
    const int liveBefore = SSLContext::liveContexts();
    auto first = std::make_unique<SSLContext>(certs().clientCert.c_str(), certs().clientKey.c_str(),
                                              kPassPhrase, certs().caCert.c_str());
    auto second = std::make_unique<SSLContext>(
        certs().clientCert.c_str(), certs().clientKey.c_str(), kPassPhrase, certs().caCert.c_str());
    EXPECT_EQ(liveBefore + 2, SSLContext::liveContexts());

    first.reset();
    EXPECT_EQ(liveBefore + 1, SSLContext::liveContexts());
    SSL* session = SSL_new(second->getContext());
    EXPECT_NE(nullptr, session) << "the second context still makes sessions";
    SSL_free(session);
    EXPECT_TRUE(contextTrusts(*second, certs().serverCert));

    second.reset();
    EXPECT_EQ(liveBefore, SSLContext::liveContexts());
    // The last context left the library able to start again in this process.
    SSLContext again(certs().clientCert.c_str(), certs().clientKey.c_str(), kPassPhrase,
                     certs().caCert.c_str());
    EXPECT_TRUE(contextTrusts(again, certs().serverCert));
}

TEST(SSLContext, AnUnencryptedKeyLoadsWithoutThePassPhrase) {
    EXPECT_NO_THROW(SSLContext(certs().otherClientCert.c_str(), certs().otherClientKey.c_str(),
                               kPassPhrase, certs().caCert.c_str()));
}

TEST(SSLContext, EmptyCaTextTrustsNoAuthority) {
    SSLContext withCa(certs().clientCert.c_str(), certs().clientKey.c_str(), kPassPhrase,
                      certs().caCert.c_str());
    SSLContext withoutCa(certs().clientCert.c_str(), certs().clientKey.c_str(), kPassPhrase, "");
    EXPECT_TRUE(contextTrusts(withCa, certs().serverCert));
    EXPECT_FALSE(contextTrusts(withCa, certs().otherServerCert));
    EXPECT_FALSE(contextTrusts(withoutCa, certs().serverCert));
}

TEST(SSLContext, PassPhraseCallbackCopiesAndZeroFills) {
    std::vector<char> buffer(1024, 'x');
    char passPhrase[] = "wexol";
    EXPECT_EQ(5, SSLContext::passPhraseCallback(buffer.data(), 1024, 0, passPhrase));
    EXPECT_EQ(0, std::memcmp(buffer.data(), "wexol", 5));
    for (size_t i = 5; i < buffer.size(); ++i) {
        ASSERT_EQ('\0', buffer[i]) << "byte " << i;
    }

    std::vector<char> exact(5, 'x');
    EXPECT_EQ(5, SSLContext::passPhraseCallback(exact.data(), 5, 1, passPhrase));
    EXPECT_EQ(0, std::memcmp(exact.data(), "wexol", 5));
}

TEST(SSLContext, PassPhraseLongerThanTheBufferIsRefused) {
    std::vector<char> small(4, 'x');
    char passPhrase[] = "wexol";
    EXPECT_EQ(-1, SSLContext::passPhraseCallback(small.data(), 4, 0, passPhrase));
    EXPECT_EQ(std::vector<char>(4, '\0'), small);
}

}  // namespace
