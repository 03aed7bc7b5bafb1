// The aggregation client's cost per transaction, and its throughput over TLS on loopback to the
// reference receiver next to raw SSL_write of the same frames.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "LibraryInterfaces/KriErr.h"
#include "Tests/AggrReceiverProcess.h"
#include "Tests/TestCerts.h"
#include "Tools/RovazoRiva/Common/AggrSvrConn.h"

extern char** environ;

namespace {

// An entry document of the size the service sends on every event.
const char kEntry[] =
    "<Entry id=\"E1\" name=\"Morning News\" status=\"Running\"><Segment id=\"3\"><OnAir>"
    "<Date year=\"2024\" month=\"5\" day=\"1\"/><Time hh=\"12\" mm=\"30\" ss=\"15\" ff=\"-1\"/>"
    "<Duration hh=\"0\" mm=\"30\" ss=\"0\" ff=\"0\"/></OnAir></Segment>"
    "<YuTrigger active=\"true\" sent=\"false\"/></Entry>";

void BM_UpdateEntryWithoutSockets(benchmark::State& state) {
    CAggrSvrClient client;
    for (auto _ : state) {
        benchmark::DoNotOptimize(client.updateEntry(7, "E1", "Entry", kEntry));
    }
}
BENCHMARK(BM_UpdateEntryWithoutSockets);

// The text of one entry transaction as updateEntry makes it, against the route through parsing
// the action text again (sendTransaction's).
void BM_EntryTransactionText(benchmark::State& state) {
    for (auto _ : state) {
        String text = CAggrSvrClient::wrapAction(
            7, CAggrSvrClient::buildAction("UpdateEntry", "E1", "Entry", kEntry));
        benchmark::DoNotOptimize(text.c_str());
    }
}
BENCHMARK(BM_EntryTransactionText);

void BM_EntryTransactionTextByParsing(benchmark::State& state) {
    CAggrSvrClient client;
    for (auto _ : state) {
        benchmark::DoNotOptimize(client.sendTransaction(
            7, CAggrSvrClient::buildAction("UpdateEntry", "E1", "Entry", kEntry)));
    }
}
BENCHMARK(BM_EntryTransactionTextByParsing);

// The reference receiver as a child process whose output is read on a thread of its own and
// counted, so that it never stops on a full pipe.
class CountingReceiver {
public:
    CountingReceiver() {
        int ends[2];
        if (pipe(ends) != 0) {
            throw std::runtime_error("pipe failed");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
        posix_spawn_file_actions_addclose(&actions, ends[0]);
        std::vector<std::string> arguments = AggrReceiverProcess::testCertArguments();
        arguments.insert(arguments.begin(), KRI_AGGR_RECEIVER_PATH);
        std::vector<char*> argv;
        for (std::string& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        const int failure = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(ends[1]);
        if (failure != 0) {
            close(ends[0]);
            throw std::runtime_error("cannot start the receiver");
        }
        output = ends[0];
        reader = std::thread([this] { readLines(); });
        if (!waitFor([this] { return listenPort.load() != 0; })) {
            throw std::runtime_error("the receiver did not start");
        }
    }
    ~CountingReceiver() {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        reader.join();
        close(output);
    }

    uint16_t port() const { return listenPort.load(); }
    uint64_t transactions() const { return transactionCount.load(); }

    template <typename Condition>
    static bool waitFor(Condition condition) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return true;
    }

private:
    void readLines() {
        static constexpr char kListening[] = "listening on 127.0.0.1:";
        std::string partial;
        char chunk[65536];
        ssize_t n;
        while ((n = read(output, chunk, sizeof chunk)) > 0) {
            partial.append(chunk, static_cast<size_t>(n));
            size_t start = 0;
            size_t end;
            while ((end = partial.find('\n', start)) != std::string::npos) {
                const std::string_view line(partial.data() + start, end - start);
                if (line.find(" transaction ") != std::string_view::npos) {
                    transactionCount.fetch_add(1);
                } else if (line.rfind(kListening, 0) == 0) {
                    listenPort = static_cast<uint16_t>(
                        std::stoi(std::string(line.substr(sizeof kListening - 1))));
                }
                start = end + 1;
            }
            partial.erase(0, start);
        }
    }

    pid_t pid = -1;
    int output = -1;
    std::thread reader;
    std::atomic<uint16_t> listenPort{0};
    std::atomic<uint64_t> transactionCount{0};
};

CountingReceiver& receiver() {
    static CountingReceiver instance;
    return instance;
}

constexpr int kBatch = 1000;

// Runs `send(thread, count)` on `threads` threads, kBatch transactions in all, per iteration;
// the timer covers the sending, the counters also the wait until the receiver reported them.
template <typename Send>
void runBatches(benchmark::State& state, Send send) {
    const int threads = static_cast<int>(state.range(0));
    double deliveredSeconds = 0;
    for (auto _ : state) {
        const uint64_t target = receiver().transactions() + kBatch;
        const auto begin = std::chrono::steady_clock::now();
        std::vector<std::thread> senders;
        for (int t = 0; t < threads; ++t) {
            senders.emplace_back([&, t] { send(t, kBatch / threads); });
        }
        for (std::thread& sender : senders) {
            sender.join();
        }
        state.PauseTiming();
        if (!CountingReceiver::waitFor([&] { return receiver().transactions() >= target; })) {
            state.SkipWithError("the receiver did not report every transaction");
            break;
        }
        deliveredSeconds +=
            std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
    state.counters["delivered_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations() * kBatch) / deliveredSeconds);
}

class SilentSink : public KriLogSink {
public:
    void writeTrace(const KriTraceRecord&) override {}
    void writeEvent(const KriEventRecord&) override {}
};

void BM_ClientToReceiver(benchmark::State& state) {
    SilentSink silent;
    setKriLogSink(&silent);
    const testcerts::CertFiles& certs = testcerts::testCerts();
    CAggrSvrClient client;
    client.setupSsl(certs.clientCert.c_str(), certs.clientKey.c_str(), certs.caCert.c_str());
    client.connect("127.0.0.1", receiver().port());
    if (!CountingReceiver::waitFor([&] { return client.isConnected(); })) {
        state.SkipWithError("no connection");
    } else {
        const uint64_t before = receiver().transactions();
        const uint32_t session = client.addSession("P1", "P1", "");
        CountingReceiver::waitFor([&] { return receiver().transactions() > before; });
        runBatches(state, [&](int, int count) {
            for (int i = 0; i < count; ++i) {
                client.updateEntry(session, "E1", "Entry", kEntry);
            }
        });
    }
    client.disconnect();
    setKriLogSink(nullptr);
}
BENCHMARK(BM_ClientToReceiver)->Arg(1)->Arg(4)->UseRealTime();

// One blocking TLS connection with the client's certificate; the threads take turns on it.
void BM_RawSslWriteToReceiver(benchmark::State& state) {
    const testcerts::CertFiles& certs = testcerts::testCerts();
    SSLContext context(certs.clientCert.c_str(), certs.clientKey.c_str(), "wexol",
                       certs.caCert.c_str());
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(receiver().port());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    SSL* ssl = SSL_new(context.getContext());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        SSL_set_fd(ssl, fd) != 1 || SSL_connect(ssl) != 1) {
        state.SkipWithError("no connection");
    } else {
        const String text = CAggrSvrClient::wrapAction(
            1, CAggrSvrClient::buildAction("UpdateEntry", "E1", "Entry", kEntry));
        std::string frame(4, '\0');
        const uint32_t length = htonl(static_cast<uint32_t>(text.Length()));
        std::memcpy(frame.data(), &length, 4);
        frame += text.c_str();
        std::mutex turn;
        runBatches(state, [&](int, int count) {
            for (int i = 0; i < count; ++i) {
                std::lock_guard<std::mutex> guard(turn);
                SSL_write(ssl, frame.data(), static_cast<int>(frame.size()));
            }
        });
        SSL_shutdown(ssl);
    }
    SSL_free(ssl);
    close(fd);
}
BENCHMARK(BM_RawSslWriteToReceiver)->Arg(1)->Arg(4)->UseRealTime();

}  // namespace
