#include "SSLSockets.h"

#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <cstring>

#include "Platform/Clock.h"

namespace {

constexpr int kSeedWords = 256;

// Starts the library for the first live context. OpenSSL 3 replaces SSL_library_init and
// SSL_load_error_strings with OPENSSL_init_ssl. RAND_seed only adds to the generator's input, so
// the seed from the tick count is still given.
void startLibrary() {
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    std::srand(platform::tickCount());
    int seed[kSeedWords];
    for (int& word : seed) {
        word = std::rand();
    }
    RAND_seed(seed, sizeof(seed));
}

// OpenSSL 3 checks a private key against the loaded certificate while loading it, so a key that
// does not belong to the certificate fails SSL_CTX_use_PrivateKey_file with the X509 library's
// mismatch reason instead of reaching SSL_CTX_check_private_key.
bool lastErrorIsKeyMismatch() {
    const unsigned long error = ERR_peek_last_error();
    if (ERR_GET_LIB(error) != ERR_LIB_X509) {
        return false;
    }
    const int reason = ERR_GET_REASON(error);
    return reason == X509_R_KEY_VALUES_MISMATCH || reason == X509_R_KEY_TYPE_MISMATCH;
}

}  // namespace

SSLContextError::SSLContextError(int32_t code, const char* message) : YuException(code, message) {}

SSLContextError::~SSLContextError() = default;

std::atomic<int> SSLContext::liveContextCount{0};

SSLContext::SSLContext(const KRIString& certificateFile, const KRIString& keyFile,
                       const KRIString& passPhrase, const KRIString& caFile) {
    if (liveContextCount.fetch_add(1) == 0) {
        startLibrary();
    }
    // SSLv23_client_method is TLS_client_method in OpenSSL 3: the version-flexible client method.
    const SSL_METHOD* method = TLS_client_method();
    if (method == nullptr) {
        fail(-1, "Unable to intialize the SSL protocol with SSLv23_client_method()");
    }
    ctx = SSL_CTX_new(method);
    if (ctx == nullptr) {
        fail(-2, "Unable to allocate a new SSL context with SSL_CTX_new()");
    }
    this->passPhrase = passPhrase;
    SSL_CTX_set_default_passwd_cb(ctx, &SSLContext::passPhraseCallback);
    SSL_CTX_set_default_passwd_cb_userdata(ctx, const_cast<char*>(this->passPhrase.c_str()));
    if (SSL_CTX_use_certificate_file(ctx, certificateFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        fail(-3, "The specified certificate could not be loaded");
    }
    if (SSL_CTX_use_PrivateKey_file(ctx, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        if (lastErrorIsKeyMismatch()) {
            fail(-5, "The specified certificate does not match the specified private key file");
        }
        fail(-4, "The specified private key file could not be loaded");
    }
    if (SSL_CTX_check_private_key(ctx) != 1) {
        fail(-5, "The specified certificate does not match the specified private key file");
    }
    if (caFile.length() > 0 && SSL_CTX_load_verify_locations(ctx, caFile.c_str(), nullptr) != 1) {
        fail(-8, "Unable to load the specified list of valid CAs");
    }
}

// The library's global clean-up calls have no effect in OpenSSL 3, and OPENSSL_cleanup would keep
// the library from starting again in this process, so the last context leaves the library as is.
SSLContext::~SSLContext() {
    SSL_CTX_free(ctx);
    ctx = nullptr;
    liveContextCount.fetch_sub(1);
}

void SSLContext::fail(int32_t code, const char* message) {
    ERR_clear_error();
    SSL_CTX_free(ctx);
    ctx = nullptr;
    liveContextCount.fetch_sub(1);
    throw SSLContextError(code, message);
}

int SSLContext::passPhraseCallback(char* buffer, int size, int /*rwflag*/, void* userData) {
    const char* text = static_cast<const char*>(userData);
    if (size < 0) {
        return -1;
    }
    const size_t length = std::strlen(text);
    const size_t room = static_cast<size_t>(size);
    if (length > room) {
        std::memset(buffer, 0, room);
        return -1;
    }
    std::strncpy(buffer, text, room);
    return static_cast<int>(length);
}
