#include "Tools/RovazoRiva/Common/AggrSvrClientSocket.h"

#include "LibraryInterfaces/KriErr.h"

CAggrSvrClientSocket::CAggrSvrClientSocket(SSLContext& context) : SSLClientSocket(context) {}

CAggrSvrClientSocket::~CAggrSvrClientSocket() = default;

void CAggrSvrClientSocket::reactorStopped() {}

void CAggrSvrClientSocket::onError(int code) {
    KRI_TRACE(kAggrSvrConnUnit, "SSL error : %d\n", code);
    linkUp.store(false, std::memory_order_release);
}

void CAggrSvrClientSocket::handleMessage(const char* /*data*/, int /*length*/) {}

bool CAggrSvrClientSocket::onSSLConnected() {
    KRI_TRACE(kAggrSvrConnUnit, "SSL connect successful\n");
    linkUp.store(true, std::memory_order_release);
    return true;
}

bool CAggrSvrClientSocket::onSSLDisconnected(bool /*graceful*/) {
    KRI_TRACE(kAggrSvrConnUnit, "SSL disconnect successful\n");
    linkUp.store(false, std::memory_order_release);
    return true;
}
