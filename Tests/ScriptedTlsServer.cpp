#include "Tests/ScriptedTlsServer.h"

#include <regex>

#include "Tests/TestCerts.h"

ScriptedTlsServer::ScriptedTlsServer(std::vector<Script> scripts, TlsTestServer::Options options)
    : scripts(std::move(scripts)) {
    start(options);
}

ScriptedTlsServer::~ScriptedTlsServer() {
    server.reset();
}

void ScriptedTlsServer::start(TlsTestServer::Options options) {
    const testcerts::CertFiles& certs = testcerts::testCerts();
    server = std::make_unique<TlsTestServer>(
        certs.serverCert, certs.serverKey, certs.caCert,
        [this](TlsTestServer::Connection& connection) { serve(connection); }, options);
}

std::string ScriptedTlsServer::summary(const std::string& frame) {
    static const std::regex pattern(R"re(<Action name="(\w+)"><Params><Param id="([^"]*)")re");
    std::smatch match;
    if (!std::regex_search(frame, match, pattern)) {
        return "?";
    }
    return match[2].str().empty() || match[1] == "AddStudio"
               ? match[1].str()
               : match[1].str() + " " + match[2].str();
}

bool ScriptedTlsServer::readFrames(TlsTestServer::Connection& connection, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        std::string frame;
        if (!connection.readFrame(frame)) {
            return false;
        }
        std::lock_guard<std::mutex> guard(mutex);
        received.back().push_back(summary(frame));
    }
    return true;
}

void ScriptedTlsServer::readAll(TlsTestServer::Connection& connection) {
    while (readFrames(connection, 1)) {
    }
}

void ScriptedTlsServer::readUntilQuiet(TlsTestServer::Connection& connection, int quietMs) {
    while (connection.waitForData(quietMs) && readFrames(connection, 1)) {
    }
}

std::vector<std::vector<std::string>> ScriptedTlsServer::connections() {
    std::lock_guard<std::mutex> guard(mutex);
    return received;
}

size_t ScriptedTlsServer::framesOn(size_t connection) {
    std::lock_guard<std::mutex> guard(mutex);
    return connection < received.size() ? received[connection].size() : 0;
}

std::vector<std::string> ScriptedTlsServer::eventsReceived() {
    std::lock_guard<std::mutex> guard(mutex);
    std::vector<std::string> events;
    for (const auto& frames : received) {
        for (const std::string& frame : frames) {
            if (frame != "AddStudio") {
                events.push_back(frame);
            }
        }
    }
    return events;
}

void ScriptedTlsServer::serve(TlsTestServer::Connection& connection) {
    size_t index;
    {
        std::lock_guard<std::mutex> guard(mutex);
        index = received.size();
        received.emplace_back();
    }
    if (index < scripts.size()) {
        scripts[index](connection, *this);
    } else {
        readAll(connection);
    }
}
