// KriAtmnSvc as a process in console mode, with the simulated automation system and a loopback
// reader as its aggregation server: the resident memory and the CPU time of an idle service with
// the link up, and the resident memory as a million transactions pass through it.
//
// Two runs of the service: a quiet one (the simulator reports nothing) for the idle figures, and
// a loaded one in which 16 simulator threads play their playlists without pauses until a million
// transactions have been sent. The service's standard output and trace go to /dev/null. Figures
// come from /proc/<pid>/status (VmRSS) and /proc/<pid>/stat (utime + stime).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Bench/LoopbackReader.h"
#include "Platform/ComRuntime.h"
#include "Tests/ChildProcess.h"
#include "Tests/TempRegistry.h"
#include "Tests/TestCerts.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// The reader's connection stays silent while the service idles; it must not time out.
constexpr int kReaderIoTimeoutSeconds = 120;
constexpr seconds kIdleWindow(10);

constexpr int kLoadThreads = 16;
constexpr int kEventsPerPass = 2500;
constexpr int kPasses = 25;
// Every event of a pass is one transaction; each thread's first pass also opens its session.
constexpr uint64_t kLoadTransactions = uint64_t{kLoadThreads} * kEventsPerPass * kPasses;
constexpr uint64_t kSampleEvery = 100000;

// One pass: an entry change (which opens the playlist's session), then house-time reports and
// segment changes in turn, all at once.
std::string loadScenario() {
    std::string text = "<Simulator speed=\"fast\" threads=\"" + std::to_string(kLoadThreads) +
                       "\" repeat=\"" + std::to_string(kPasses) +
                       "\"/>"
                       "<Scenario houseDate=\"2024-03-09\" houseTime=\"18:00:00:00\">"
                       "<Playlist id=\"1\" name=\"Load\" announce=\"false\">"
                       "<Entry id=\"L-1\" name=\"Film\" segment=\"1\" time=\"18:00:00:00\"/>"
                       "</Playlist><Schedule>"
                       "<Change at=\"0\" playlist=\"Load\" entry=\"L-1\" status=\"Running\"/>";
    for (int i = 1; i < kEventsPerPass; ++i) {
        text += i % 2 == 0 ? "<Segment at=\"0\" playlist=\"Load\" entry=\"L-1\" segment=\"2\"/>"
                           : "<Time at=\"0\" playlist=\"Load\"/>";
    }
    return text + "</Schedule></Scenario>";
}

const char kQuietScenario[] =
    "<Simulator speed=\"fast\"/>"
    "<Scenario houseDate=\"2024-03-09\" houseTime=\"18:00:00:00\">"
    "<Playlist id=\"1\" name=\"Idle\" announce=\"false\"><Entry id=\"I-1\"/></Playlist>"
    "<Schedule/></Scenario>";

std::string configText(const std::string& automation, uint16_t port) {
    const testcerts::CertFiles& certs = testcerts::testCerts();
    return "<KriAtmnSvc><Automation progid=\"Kri.AtmnSimulator\">" + automation +
           "</Automation><AggrServer ip=\"127.0.0.1\" port=\"" + std::to_string(port) +
           "\"><SslCAFile>" + certs.caCert + "</SslCAFile><SslKeyFile>" + certs.clientKey +
           "</SslKeyFile><SslCfktFile>" + certs.clientCert +
           "</SslCfktFile></AggrServer><Studio id=\"1\" name=\"Studio 1\"/></KriAtmnSvc>";
}

// KriAtmnSvc -debug -config <file>, stopped with Ctrl+C's SIGINT. Its output is thrown away, or
// appended to the file that KRI_PERF_SERVICE_LOG names.
class ServiceProcess {
public:
    explicit ServiceProcess(const std::string& configPath)
        : child(KRI_ATMNSVC_PROGRAM, {"-debug", "-config", configPath}, logOptions()) {}
    ~ServiceProcess() {
        child.sendSignal(SIGINT);
        child.waitForExit(seconds(10));
    }
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;

    bool running() { return child.running(); }

    // Resident memory in KiB.
    long residentKib() const {
        std::ifstream status("/proc/" + std::to_string(child.pid()) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("VmRSS:", 0) == 0) {
                return std::stol(line.substr(6));
            }
        }
        throw std::runtime_error("no VmRSS for the service");
    }

    // User plus system CPU time in milliseconds.
    double cpuMs() const {
        std::ifstream stat("/proc/" + std::to_string(child.pid()) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        // The fields after the command name, which is in parentheses and may hold blanks.
        std::istringstream fields(text.substr(text.rfind(')') + 2));
        std::string field;
        long ticks = 0;
        // state is field 3; utime and stime are fields 14 and 15.
        for (int number = 3; number <= 15 && fields >> field; ++number) {
            if (number >= 14) {
                ticks += std::stol(field);
            }
        }
        return 1000.0 * static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
    }

    // CPU milliseconds used over the window.
    double cpuMsOver(seconds window) const {
        const double before = cpuMs();
        std::this_thread::sleep_for(window);
        return cpuMs() - before;
    }

private:
    static ChildProcess::Options logOptions() {
        const char* log = std::getenv("KRI_PERF_SERVICE_LOG");
        ChildProcess::Options options;
        options.logFile = log != nullptr ? log : "/dev/null";
        options.appendToLog = true;
        return options;
    }

    ChildProcess child;
};

// A registry with the simulator registered, the configuration file, and the reader.
class ServiceSetting {
public:
    explicit ServiceSetting(const std::string& automation) : reader(1, kReaderIoTimeoutSeconds) {
        if (platform::registerServer(KRI_SIMULATOR_PLUGIN) < 0) {
            throw std::runtime_error("cannot register the simulator");
        }
        configPath = (registry.root() / "KriAtmnSvc.xml").string();
        std::ofstream(configPath) << configText(automation, reader.port());
    }

    TempRegistry registry;
    LoopbackReader reader;
    std::string configPath;
};

// Whether a run ended the way it should; a service that stopped by itself is run again, since
// any program of the same user can set the machine-wide "AtmnStop" event (other test runs do).
enum class Run { kDone, kFailed, kServiceEnded };
constexpr int kAttempts = 3;

template <typename Measure>
void runService(benchmark::State& state, const std::string& automation, Measure measure) {
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        ServiceSetting setting(automation);
        ServiceProcess service(setting.configPath);
        if (!setting.reader.waitForFrames(1, milliseconds(20000))) {
            state.SkipWithError("the service did not bring the link up (no AddStudio)");
            return;
        }
        const Run outcome = measure(setting, service);
        if (outcome == Run::kDone && service.running()) {
            state.counters["attempts"] = attempt;
            return;
        }
        if (outcome == Run::kFailed) {
            return;
        }
    }
    state.SkipWithError("the service kept ending by itself (is \"AtmnStop\" being set?)");
}

void BM_ServiceIdle(benchmark::State& state) {
    for (auto _ : state) {
        runService(state, kQuietScenario, [&](ServiceSetting& setting, ServiceProcess& service) {
            std::this_thread::sleep_for(seconds(1));
            state.counters["cpu_ms"] = service.cpuMsOver(kIdleWindow);
            if (!service.running()) {
                return Run::kServiceEnded;
            }
            state.counters["rss_kib"] = static_cast<double>(service.residentKib());
            state.counters["frames"] = static_cast<double>(setting.reader.frames());
            return Run::kDone;
        });
    }
}
BENCHMARK(BM_ServiceIdle)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void BM_ServiceMillionTransactions(benchmark::State& state) {
    for (auto _ : state) {
        runService(state, loadScenario(), [&](ServiceSetting& setting, ServiceProcess& service) {
            const auto begin = std::chrono::steady_clock::now();
            // AddStudio, one AddSession per thread, and the load.
            const uint64_t total = 1 + kLoadThreads + kLoadTransactions;
            std::vector<long> samples;
            for (uint64_t next = kSampleEvery; next <= kLoadTransactions; next += kSampleEvery) {
                if (!setting.reader.waitForFrames(next, milliseconds(60000))) {
                    if (!service.running()) {
                        return Run::kServiceEnded;
                    }
                    state.SkipWithError("the service stopped sending");
                    return Run::kFailed;
                }
                samples.push_back(service.residentKib());
            }
            if (!setting.reader.waitForFrames(total, milliseconds(60000))) {
                state.SkipWithError("not every transaction arrived");
                return Run::kFailed;
            }
            const double elapsed =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
            std::this_thread::sleep_for(seconds(1));
            state.counters["tx_per_s"] = static_cast<double>(total) / elapsed;
            state.counters["rss_100k_kib"] = static_cast<double>(samples.front());
            state.counters["rss_1m_kib"] = static_cast<double>(samples.back());
            state.counters["rss_max_kib"] =
                static_cast<double>(*std::max_element(samples.begin(), samples.end()));
            state.counters["cpu_after_ms"] = service.cpuMsOver(kIdleWindow);
            if (!service.running()) {
                return Run::kServiceEnded;
            }
            state.counters["rss_after_kib"] = static_cast<double>(service.residentKib());
            state.counters["frames"] = static_cast<double>(setting.reader.frames());
            return Run::kDone;
        });
    }
}
BENCHMARK(BM_ServiceMillionTransactions)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
