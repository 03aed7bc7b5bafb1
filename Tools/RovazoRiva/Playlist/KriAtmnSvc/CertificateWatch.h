// CertificateWatch: the warnings about the link's certificates running out. At start and then
// once a day it reads the client certificate file and the CA file and reports each certificate
// that expires within 30 days (a warning, event 0x8E000D01) or has expired (an error, event
// 0xCE000D01).
//
// The binding owns one. watch and the first check run in init on the service thread, later
// checks on the supervision thread; the calls are serialised by a lock of its own.
#pragma once

#include <cstdint>
#include <string>

#include "LibraryInterfaces/String.h"
#include "ThreadLock.h"

class CertificateWatch {
public:
    // What a certificate that ends at notAfter calls for at now (both in seconds since 1970).
    enum class Finding { kNone, kExpiresSoon, kExpired };
    static Finding findingFor(int64_t notAfter, int64_t now);

    // The files to read from now on; the next check runs at once.
    void watch(const String& clientCertificateFile, const String& caFile) EXCLUDES(lock);
    // Checks and reports when no check has run for a day (or none since watch).
    void checkIfDue(int64_t now) EXCLUDES(lock);

    static int64_t currentTime();

private:
    void report(const char* what, const std::string& file, int64_t now) REQUIRES(lock);

    ThreadLock lock;
    std::string clientFile GUARDED_BY(lock);
    std::string caFile GUARDED_BY(lock);
    bool due GUARDED_BY(lock) = false;
    int64_t lastCheck GUARDED_BY(lock) = 0;
};
