#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/CertificateWatch.h"
#include "Platform/Clock.h"

#include <chrono>

#include "CertificateDates.h"
#include "LibraryInterfaces/KriErr.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnInterfaces.h"

namespace {

constexpr int64_t kDay = 24 * 60 * 60;
constexpr int64_t kWarningDays = 30;

}  // namespace

CertificateWatch::Finding CertificateWatch::findingFor(int64_t notAfter, int64_t now) {
    if (now > notAfter) {
        return Finding::kExpired;
    }
    return notAfter - now <= kWarningDays * kDay ? Finding::kExpiresSoon : Finding::kNone;
}

void CertificateWatch::watch(const String& clientCertificateFile, const String& caFileName) {
    ThreadLockGuard guard(lock);
    clientFile = clientCertificateFile.c_str();
    caFile = caFileName.c_str();
    due = true;
}

void CertificateWatch::checkIfDue(int64_t now) {
    ThreadLockGuard guard(lock);
    if (!due && now - lastCheck < kDay) {
        return;
    }
    due = false;
    lastCheck = now;
    report("client certificate", clientFile, now);
    report("CA certificate", caFile, now);
}

int64_t CertificateWatch::currentTime() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void CertificateWatch::report(const char* what, const std::string& file, int64_t now) {
    for (const CertificateValidity& certificate : certificateValidities(file)) {
        const std::string end =
            platform::formatTime(certificate.notAfter, platform::kMinutesUtcFormat);
        switch (findingFor(certificate.notAfter, now)) {
            case Finding::kExpiresSoon:
                KriReportEvent(
                    kAtmnEventSslWarning, "Warning: the %s %s (%s) expires in %lld days, on %s",
                    what, file.c_str(), certificate.subject.c_str(),
                    static_cast<long long>((certificate.notAfter - now) / kDay), end.c_str());
                break;
            case Finding::kExpired:
                KriReportEvent(kAtmnEventSslContext, "The %s %s (%s) expired on %s", what,
                               file.c_str(), certificate.subject.c_str(), end.c_str());
                break;
            case Finding::kNone:
                break;
        }
    }
}
