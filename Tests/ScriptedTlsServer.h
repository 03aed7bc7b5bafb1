// ScriptedTlsServer: a TlsTestServer that plays one script per accepted connection and records
// what each connection received, as "AddStudio" or "AddEntry E7" (the action, and the `Param` id
// except for AddStudio).
//
// Connections are numbered in accept order; those past the scripts read every frame until the
// client closes. The test thread makes and ends it and reads the record; the scripts run on the
// server's thread. start() after shutDown() listens again (for a server that went away and came
// back), keeping the record.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Tests/TlsTestServer.h"

class ScriptedTlsServer {
public:
    using Script = std::function<void(TlsTestServer::Connection&, ScriptedTlsServer&)>;

    explicit ScriptedTlsServer(std::vector<Script> scripts, TlsTestServer::Options options = {});
    // Ends the server (and the script it runs) before the scripts and the record go.
    ~ScriptedTlsServer();

    // Listens (again) with the test certificates.
    void start(TlsTestServer::Options options);

    // Reads `count` frames of the connection into the record; false at close or time-out.
    bool readFrames(TlsTestServer::Connection& connection, size_t count);
    // Reads and records frames until the client closes (or the read time-out passes).
    void readAll(TlsTestServer::Connection& connection);
    // Reads and records the frames that arrive until none has for quietMs: what a server that
    // goes away in order handles before it closes.
    void readUntilQuiet(TlsTestServer::Connection& connection, int quietMs);

    // What each connection received, in accept order.
    std::vector<std::vector<std::string>> connections();
    size_t framesOn(size_t connection);
    // Every frame of every connection but the "AddStudio"s, in order.
    std::vector<std::string> eventsReceived();

    // What a received transaction is: "AddStudio", or the action and the `Param` id.
    static std::string summary(const std::string& frame);

    std::unique_ptr<TlsTestServer> server;
    // For scripts that hold a connection until the test lets go.
    std::atomic<bool> release{false};

private:
    void serve(TlsTestServer::Connection& connection);

    std::vector<Script> scripts;
    std::mutex mutex;
    std::vector<std::vector<std::string>> received;
};
