// The warnings about certificates that run out: when they come, how often, and what they say.
#include <gtest/gtest.h>

#include "CertificateDates.h"
#include "Tests/CapturingLogSink.h"
#include "Tests/TestCerts.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/CertificateWatch.h"

namespace {

using Finding = CertificateWatch::Finding;
constexpr int64_t kDay = 24 * 60 * 60;

TEST(CertificateWatch, ThirtyDaysAheadWarnsAndAfterTheEndIsAnError) {
    EXPECT_EQ(Finding::kNone, CertificateWatch::findingFor(1000 + 30 * kDay + 1, 1000));
    EXPECT_EQ(Finding::kExpiresSoon, CertificateWatch::findingFor(1000 + 30 * kDay, 1000));
    EXPECT_EQ(Finding::kExpiresSoon, CertificateWatch::findingFor(1000, 1000));
    EXPECT_EQ(Finding::kExpired, CertificateWatch::findingFor(1000, 1001));
}

TEST(CertificateWatch, ACertificateExpiringSoonWarnsAtStartThenOnceADay) {
    const testcerts::CertFiles& certs = testcerts::testCerts();
    const std::vector<CertificateValidity> soon = certificateValidities(certs.soonClientCert);
    ASSERT_EQ(1u, soon.size());
    EXPECT_EQ("/O=Kri Test/CN=Kri Test Client", soon[0].subject);
    const int64_t now = soon[0].notAfter - 10 * kDay - 60;

    CapturingLogSink log;
    setKriLogSink(&log);
    CertificateWatch watch;
    watch.watch(certs.soonClientCert.c_str(), certs.caCert.c_str());
    watch.checkIfDue(now);
    watch.checkIfDue(now + kDay - 1);
    watch.checkIfDue(now + kDay);
    watch.checkIfDue(soon[0].notAfter + 2 * kDay);
    setKriLogSink(nullptr);

    ASSERT_EQ(3u, log.events.size());
    const std::string warning = "Warning: the client certificate " + certs.soonClientCert +
                                " (/O=Kri Test/CN=Kri Test Client) expires in 10 days, on ";
    EXPECT_EQ(0x8E000D01u, log.events[0].code);
    EXPECT_EQ(0u, log.events[0].text.rfind(warning, 0)) << log.events[0].text;
    EXPECT_EQ(0u, log.events[1].text.rfind("Warning: the client certificate", 0));
    EXPECT_EQ(0xCE000D01u, log.events[2].code);
    EXPECT_EQ(0u, log.events[2].text.rfind("The client certificate " + certs.soonClientCert +
                                               " (/O=Kri Test/CN=Kri Test Client) expired on ",
                                           0))
        << log.events[2].text;
}

TEST(CertificateWatch, FilesThatHoldNoCertificateSayNothing) {
    CapturingLogSink log;
    setKriLogSink(&log);
    CertificateWatch watch;
    watch.watch("/nonexistent.crt", testcerts::testCerts().corruptPem.c_str());
    watch.checkIfDue(CertificateWatch::currentTime());
    setKriLogSink(nullptr);
    EXPECT_TRUE(log.events.empty());
}

}  // namespace
