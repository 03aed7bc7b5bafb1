// Test support for the automation binding and the KriAtmnSvc program: service configuration
// files, the simulator registered in a temporary registry, the reference receiver, and a log sink
// that keeps every trace line and event-log record.
//
// Used on the test's thread; the log sink may be written from any thread.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "LibraryInterfaces/KriErr.h"
#include "Platform/ComRuntime.h"
#include "Tests/AggrReceiverProcess.h"
#include "Tests/Eventually.h"
#include "Tests/TempRegistry.h"
#include "Tests/TestCerts.h"

namespace atmntest {

using std::chrono::milliseconds;

inline constexpr char kSimulatorUuid[] = "{D35472C6-3643-4749-B8DA-E8ACFCC6FDC6}";
// The units of the service's own files (the binding, its configuration reports, documents and
// monitor) all begin with this.
inline constexpr char kUnitStamp[] = "Tools/RovazoRiva/Playlist/KriAtmnSvc/";

// Scenario content whose schedule is empty: the simulator connects and reports nothing.
#define KRI_QUIET_SCENARIO_BODY                                                          \
    "<Scenario houseDate=\"2024-03-09\" houseTime=\"18:00:00:00\">"                      \
    "<Playlist id=\"1\" name=\"Idle\" announce=\"false\"><Entry id=\"I-1\"/></Playlist>" \
    "<Schedule/></Scenario>"
inline constexpr char kQuietScenario[] = "<Simulator speed=\"fast\"/>" KRI_QUIET_SCENARIO_BODY;

// The quiet scenario with more attributes of the simulator's ("connectDelay=\"30000\"", say).
inline std::string quietScenarioWith(const std::string& simulatorAttributes) {
    return "<Simulator speed=\"fast\" " + simulatorAttributes + "/>" KRI_QUIET_SCENARIO_BODY;
}

// The items of one configuration file.
struct ServiceConfig {
    std::string progid = "Kri.AtmnSimulator";
    std::string uuid;
    std::string automationContent = kQuietScenario;
    std::string ip = "127.0.0.1";
    int port = 0;
    std::string caFile = testcerts::testCerts().caCert;
    std::string keyFile = testcerts::testCerts().clientKey;
    std::string certFile = testcerts::testCerts().clientCert;
    std::string studioId = "7";
    std::string studioName = "Studio A";
    // The whole "Delivery" element, or nothing.
    std::string delivery;
    std::string serverName;  // "SslServerName"; left out when empty

    std::string text() const {
        return "<KriAtmnSvc>\n  <Automation progid=\"" + progid + "\" uuid=\"" + uuid + "\">" +
               automationContent + "</Automation>\n  <AggrServer ip=\"" + ip + "\" port=\"" +
               std::to_string(port) + "\">\n    <SslCAFile>" + caFile +
               "</SslCAFile>\n    <SslKeyFile>" + keyFile + "</SslKeyFile>\n    <SslCfktFile>" +
               certFile + "</SslCfktFile>\n" +
               (serverName.empty() ? ""
                                   : "    <SslServerName>" + serverName + "</SslServerName>\n") +
               (delivery.empty() ? "" : "    " + delivery + "\n") +
               "  </AggrServer>\n  <Studio id=\"" + studioId + "\" name=\"" + studioName +
               "\"/>\n</KriAtmnSvc>\n";
    }
};

// Replaces the file as a whole, so that a reader sees the old text or the new one.
inline void writeFileAtomically(const std::filesystem::path& path, const std::string& text) {
    const std::filesystem::path temporary = path.string() + ".new";
    std::ofstream(temporary, std::ios::binary) << text;
    std::filesystem::rename(temporary, path);
}

// Keeps every trace line (with its "unit:line" stamp) and event-log record.
class RecordingLogSink : public KriLogSink {
public:
    struct Event {
        uint32_t code;
        std::string text;
    };

    RecordingLogSink() { setKriLogSink(this); }
    ~RecordingLogSink() override { setKriLogSink(nullptr); }

    void writeTrace(const KriTraceRecord& record) override {
        std::lock_guard<std::mutex> guard(mutex);
        traces.push_back(record);
    }
    void writeEvent(const KriEventRecord& record) override {
        std::lock_guard<std::mutex> guard(mutex);
        events.push_back({record.code, record.text});
    }

    // The messages of the binding's own trace lines, those stamped with a unit of the service's
    // files, in order.
    std::vector<std::string> bindingTraces() { return tracesOf(kUnitStamp); }
    // The messages of the trace lines whose stamp begins with unit, in order.
    std::vector<std::string> tracesOf(const std::string& unit) {
        std::lock_guard<std::mutex> guard(mutex);
        std::vector<std::string> found;
        for (const KriTraceRecord& record : traces) {
            if (record.stamp.rfind(unit, 0) == 0) {
                found.push_back(record.message);
            }
        }
        return found;
    }
    std::vector<Event> allEvents() {
        std::lock_guard<std::mutex> guard(mutex);
        return events;
    }
    size_t count(const std::string& needle) {
        std::lock_guard<std::mutex> guard(mutex);
        return static_cast<size_t>(std::count_if(traces.begin(), traces.end(), [&](auto& t) {
            return t.message.find(needle) != std::string::npos;
        }));
    }
    void clear() {
        std::lock_guard<std::mutex> guard(mutex);
        traces.clear();
        events.clear();
    }

private:
    std::mutex mutex;
    std::vector<KriTraceRecord> traces;
    std::vector<Event> events;
};

// A temporary registry with the simulator registered, a directory for configuration files and
// a receiver on 127.0.0.1.
class LiveEnvironment {
public:
    LiveEnvironment() {
        if (platform::registerServer(KRI_SIMULATOR_PLUGIN) < 0) {
            throw std::runtime_error("cannot register the simulator");
        }
        directory = registry.root() / "files";
        std::filesystem::create_directories(directory);
        receiver = AggrReceiverProcess::start();
        config.port = receiver->port();
    }

    // Writes the configuration to a file of that name and returns its path.
    std::string writeConfig(const std::string& name = "config.xml") const {
        const std::filesystem::path path = directory / name;
        writeFileAtomically(path, config.text());
        return path.string();
    }

    // The receiver's transaction lines from "session=" to the end of the Param name.
    static std::vector<std::string> transactions(AggrReceiverProcess& r) {
        std::vector<std::string> found;
        for (const std::string& line : r.linesContaining(" transaction ")) {
            const size_t from = line.find("session=");
            found.push_back(line.substr(from, line.find(" payload=") - from));
        }
        return found;
    }

    TempRegistry registry;
    std::filesystem::path directory;
    std::unique_ptr<AggrReceiverProcess> receiver;
    ServiceConfig config;
};

}  // namespace atmntest
