#include "CertificateDates.h"
#include "Platform/Clock.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <ctime>
#include <memory>

std::vector<CertificateValidity> certificateValidities(const std::string& pemFile) {
    std::vector<CertificateValidity> found;
    std::unique_ptr<BIO, decltype(&BIO_free)> file(BIO_new_file(pemFile.c_str(), "r"), BIO_free);
    if (!file) {
        ERR_clear_error();
        return found;
    }
    while (X509* certificate = PEM_read_bio_X509(file.get(), nullptr, nullptr, nullptr)) {
        std::tm end{};
        char subject[512];
        X509_NAME_oneline(X509_get_subject_name(certificate), subject, sizeof subject);
        if (ASN1_TIME_to_tm(X509_get0_notAfter(certificate), &end) == 1) {
            found.push_back({subject, platform::unixSecondsOfUtc(end)});
        }
        X509_free(certificate);
    }
    // The end of the file reads as an error of the PEM reader.
    ERR_clear_error();
    return found;
}
