#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnSvcImpl.h"

#include <chrono>
#include <exception>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "LibraryInterfaces/KriErr.h"
#include "LibraryInterfaces/XMLException.h"
#include "Platform/ComApartment.h"
#include "Platform/ComRuntime.h"
#include "Platform/ServiceDispatcher.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnConfig.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnDocuments.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnTrust.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/ComponentScope.h"
#include "YuException.h"

namespace {

const char kAtmnSvcImplUnit[] = "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnSvcImpl_";

constexpr auto kAnnouncePause = std::chrono::milliseconds(2000);
// How often run looks whether stop was called while it waits on "AtmnStop". stop does not set
// the named event: only other processes do.
constexpr uint32_t kOwnStopCheckMs = 250;
constexpr auto kEntryPause = std::chrono::milliseconds(200);
constexpr int64_t kReconnectLinePeriodMs = 60000;
constexpr uint32_t kSupervisionPeriodMs = 1000;
// How long stop waits for the supervision thread, which may be inside a name resolution.
constexpr uint32_t kSupervisionStopWaitMs = 3000;
// How long run waits for the start-up thread to end once the service has stopped.
constexpr uint32_t kStartUpJoinMs = 500;

// The text of the exception being handled, for the trace.
std::string currentFailure() {
    try {
        throw;
    } catch (const YuException& e) {
        return e.getMessage();
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown exception";
    }
}

platform::HRESULT classOf(const CAtmnComponentClass& componentClass, platform::CLSID* clsid) {
    const std::u16string name = platform::utf8ToUtf16(componentClass.name.c_str());
    return componentClass.isProgId ? platform::CLSIDFromProgID(name.c_str(), clsid)
                                   : platform::CLSIDFromString(name.c_str(), clsid);
}

// Traces which DLL serves the component, its bitness and threading model. False, with an event,
// for a DLL built for the other bitness, which no process of this one's can load.
bool componentLoadable(const platform::CLSID& clsid) {
    const std::string server = platform::inprocServerPath(clsid);
    if (server.empty()) {
        return true;
    }
    const int bits = platform::moduleBits(server);
    const std::string model = platform::inprocThreadingModel(clsid);
    KRI_TRACE(kAtmnSvcImplUnit, "Automation component: %s (%s, threading model %s)\n",
              server.c_str(),
              bits == 0 ? "bitness unknown" : std::to_string(bits).append("-bit").c_str(),
              model.empty() ? "none" : model.c_str());
    constexpr int kOwnBits = sizeof(void*) * 8;
    if (bits == 0 || bits == kOwnBits) {
        return true;
    }
    KRI_REPORT_EVENT(kAtmnSvcImplUnit, kAtmnEventNoComponent,
                     "The automation component %s is a %d-bit DLL, which this %d-bit service "
                     "cannot load: run the %d-bit KriAtmnSvc, or register the component's "
                     "%d-bit DLL",
                     server.c_str(), bits, kOwnBits, bits, kOwnBits);
    return false;
}

}  // namespace

AtmnSvcImpl::AtmnSvcImpl() = default;

AtmnSvcImpl::~AtmnSvcImpl() {
    uninit();
}

int32_t AtmnSvcImpl::init(const String& path) {
    initResult = initSteps(path);
    configurationFailure = initResult < 0 && stopEvent && !componentUnavailable;
    enter(initResult == kAtmnOk ? Phase::kInitialised : Phase::kInitFailed);
    return initResult;
}

int32_t AtmnSvcImpl::initSteps(const String& path) {
    platform::CoInitialize(nullptr);
    // First, so that a second instance stops here, before it loads the component.
    std::string refusal;
    stopEvent = platform::NamedEvent::create(kStopEventName, &refusal);
    if (!stopEvent) {
        KriReportEvent(kAtmnEventConfiguration, "Unable to create the stop event \"%s\": %s",
                       kStopEventName, refusal.c_str());
        return kAtmnConfigFailed;
    }
    try {
        configPath = path;
        CAtmnConfig config(path);
        const CAtmnInitSettings settings = config.ReadInitSettings();
        const CAtmnDeliverySettings delivery = config.ReadDeliverySettings();
        client.setDeliveryLimits(static_cast<uint64_t>(delivery.backlogMB) * 1024 * 1024,
                                 delivery.deadPeerSeconds);
        client.setResendWindow(delivery.resendSeconds);
        if (const CAtmnRefusal untrusted = untrustedSpoolDirectory(delivery.spoolDir)) {
            reportRefusal(kAtmnEventConfiguration, untrusted);
            return kAtmnConfigFailed;
        }
        if (!delivery.spoolDir.empty()) {
            SpoolJournal::Settings spool;
            spool.directory = delivery.spoolDir;
            spool.limitBytes = static_cast<uint64_t>(delivery.spoolMB) * 1024 * 1024;
            spool.sync = delivery.sync;
            if (const std::string reason = client.useSpool(spool); !reason.empty()) {
                KRI_REPORT_EVENT(kAtmnSvcImplUnit, kAtmnEventConfiguration,
                                 "Unable to use the spool: %s", reason.c_str());
                return kAtmnConfigFailed;
            }
        }
        platform::CLSID clsid{};
        if (classOf(settings.componentClass, &clsid) < 0) {
            ReportInvalidClass(settings.componentClass);
            return ReportConfigError(configPath);
        }
        if (const std::string reason = untrustedComponentFiles(settings.componentClass, clsid);
            !reason.empty()) {
            reportRefusal(kAtmnEventNoComponent, "the automation component", reason);
            return kAtmnConfigFailed;
        }
        if (!componentLoadable(clsid)) {
            return kAtmnConfigFailed;
        }
        apartment = platform::ComApartment::start(
            platform::ComApartment::modelFor(platform::inprocThreadingModel(clsid)));
        if (!apartment) {
            componentUnavailable = true;
            KRI_TRACE_ERROR(kAtmnSvcImplUnit,
                            "Unable to start the automation component's apartment thread\n");
            reportEvent(kAtmnEventNoComponent, "Playlist Automation");
            return kAtmnConfigFailed;
        }
        void* created = nullptr;
        platform::HRESULT creation = platform::E_UNEXPECTED;
        apartment->run([&] {
            creation = platform::CoCreateInstance(clsid, nullptr, platform::CLSCTX_INPROC_SERVER,
                                                  IID_IAtmnSystem, &created);
        });
        if (creation < 0 || created == nullptr) {
            componentUnavailable = true;
            KRI_TRACE_ERROR(kAtmnSvcImplUnit, "Unable to load Automation stub component\n");
            reportEvent(kAtmnEventNoComponent, "Playlist Automation");
            return kAtmnConfigFailed;
        }
        component = static_cast<IAtmnSystem*>(created);
        if (const CAtmnRefusal untrusted = untrustedSslFiles(settings)) {
            reportRefusal(kAtmnEventConfiguration, untrusted);
            return kAtmnConfigFailed;
        }
        warnIfKeyReadableByOthers(settings.sslKeyFile);
        const int32_t ssl =
            client.setupSsl(settings.sslCfktFile, settings.sslKeyFile, settings.sslCAFile);
        if (ssl < 0) {
            return ssl;
        }
        client.setServerName(settings.sslServerName);
        warnIfServerNameUnchecked(settings.sslServerName);
        certificates.watch(settings.sslCfktFile, settings.sslCAFile);
        certificates.checkIfDue(CertificateWatch::currentTime());
    } catch (const CAtmnConfigUntrusted& e) {
        reportRefusal(kAtmnEventConfiguration, "the configuration file", e.reason());
        return kAtmnConfigFailed;
    } catch (const CAtmnConfigValueError& e) {
        KRI_TRACE_ERROR(kAtmnSvcImplUnit, "%s\n", e.what());
        return ReportConfigError(configPath);
    } catch (...) {
        // The reason first (a file the service's account may not read says "Permission denied").
        KRI_TRACE_ERROR(kAtmnSvcImplUnit, "The configuration cannot be used: %s\n",
                        currentFailure().c_str());
        return ReportConfigError(configPath);
    }
    doneEvent = std::make_unique<platform::AutoResetEvent>();
    return kAtmnOk;
}

std::optional<AtmnSvcImpl::Phase> AtmnSvcImpl::enter(Phase next, int32_t setUpOutcome) {
    ThreadLockGuard guard(phaseMutex);
    bool allowed = false;
    switch (next) {
        case Phase::kIdle:
            break;
        case Phase::kInitialised:
        case Phase::kInitFailed:
            allowed = phase == Phase::kIdle;
            break;
        case Phase::kStarting:
            allowed = phase == Phase::kInitialised;
            break;
        case Phase::kRunning:
        case Phase::kFailed:
            allowed = phase == Phase::kStarting;
            break;
        case Phase::kStopping:
            allowed = phase != Phase::kStopping;
            break;
    }
    if (!allowed) {
        return std::nullopt;
    }
    const Phase left = phase;
    phase = next;
    if (next == Phase::kRunning || next == Phase::kFailed) {
        setUpResult = setUpOutcome;
    }
    phaseChanged.notify_all();
    return left;
}

bool AtmnSvcImpl::stopping() {
    ThreadLockGuard guard(phaseMutex);
    return phase == Phase::kStopping;
}

bool AtmnSvcImpl::pauseUnlessStopping(std::chrono::milliseconds time) {
    const auto until = std::chrono::steady_clock::now() + time;
    ThreadLockGuard guard(phaseMutex);
    while (phase != Phase::kStopping &&
           phaseChanged.wait_until(phaseMutex, until) == std::cv_status::no_timeout) {
    }
    return phase != Phase::kStopping;
}

int32_t AtmnSvcImpl::run(const std::function<void()>& started) {
    if (stopEvent == nullptr && initResult < 0) {
        return initResult;
    }
    if (component == nullptr) {
        return ReportConfigError(configPath);
    }
    if (initResult < 0) {
        return initResult;
    }
    if (!enter(Phase::kStarting)) {
        return kAtmnOk;
    }
    startUpThread = platform::Thread::start([this] { startUp(); });
    if (!startUpThread) {
        KRI_TRACE_ERROR(kAtmnSvcImplUnit, "Unable to start the start-up thread\n");
        enter(Phase::kFailed, kAtmnConfigFailed);
        return kAtmnConfigFailed;
    }
    const int32_t result = runUntilStopped(started);
    // The start-up thread has normally long finished; one still inside a set-up step that a stop
    // interrupted (a component call that does not return) is left to the process's exit.
    if (startUpThread->waitFinished(kStartUpJoinMs)) {
        startUpThread.reset();
    }
    return result;
}

int32_t AtmnSvcImpl::runUntilStopped(const std::function<void()>& started) {
    Phase reached;
    int32_t result;
    {
        ThreadLockGuard guard(phaseMutex);
        while (phase == Phase::kStarting) {
            phaseChanged.wait(phaseMutex);
        }
        reached = phase;
        result = setUpResult;
    }
    if (reached == Phase::kFailed) {
        return result;
    }
    // The set-up finished before the stop came: stop has then taken the link down and sets the
    // stop event.
    if (result != kSetUpStopped) {
        if (reached == Phase::kRunning && started) {
            started();
        }
        waitForStopEvent();
    }
    return kAtmnOk;
}

void AtmnSvcImpl::startUp() {
    platform::nameCurrentThread("start-up");
    const int32_t result = setUpLink();
    if (result == kSetUpStopped) {
        return;
    }
    if (result >= 0) {
        supervisionTurnMs.store(CAtmnMonitor::steadyNowMs());
        if (supervisionThread.start() != BaseThread::kSuccess) {
            KRI_TRACE_ERROR(kAtmnSvcImplUnit, "Unable to start the supervision thread\n");
        }
        monitor = makeMonitor();
        if (!monitor->start()) {
            KRI_TRACE_ERROR(kAtmnSvcImplUnit, "Unable to start the status monitor\n");
        }
    }
    if (!enter(result >= 0 ? Phase::kRunning : Phase::kFailed, result) && result >= 0) {
        // The stop came after the last step and found the set-up unfinished.
        monitor->stop();
        supervisionThread.signal();
        tearDownLink(true);
    }
}

std::unique_ptr<CAtmnMonitor> AtmnSvcImpl::makeMonitor() {
    CAtmnMonitor::Sources sources;
    sources.snapshot = [this] { return client.deliveryStatus(); };
    sources.progress.push_back([this] { return client.loopProgressMs(); });
    sources.progress.push_back([this] { return supervisionTurnMs.load(); });
    const std::string directory = statusDirectory();
    std::error_code error;
    auto files = std::make_unique<CAtmnStatusFiles>(
        std::filesystem::is_directory(directory, error) ? directory : std::string(),
        prometheusFile.c_str());
    return std::make_unique<CAtmnMonitor>(
        std::move(sources),
        [this](const std::string& message) {
            if (notifyManager) {
                notifyManager(message);
            }
        },
        std::move(files), platform::watchdogIntervalUs());
}

void AtmnSvcImpl::setNotify(std::function<void(const std::string&)> notify) {
    notifyManager = std::move(notify);
}

void AtmnSvcImpl::waitForStopEvent() {
    using WaitResult = platform::NamedEvent::WaitResult;
    while (!stopSignalled.load() && stopEvent->wait(kOwnStopCheckMs) == WaitResult::kTimedOut) {
    }
}

int32_t AtmnSvcImpl::setUpLink() {
    CAtmnRunSettings settings;
    try {
        CAtmnConfig config(configPath);
        settings = config.ReadRunSettings();
        prometheusFile = config.ReadPrometheusFile();
    } catch (const CAtmnConfigUntrusted& e) {
        reportRefusal(kAtmnEventConfiguration, "the configuration file", e.reason());
        return kAtmnConfigFailed;
    } catch (...) {
        return ReportConfigError(configPath);
    }
    if (const CAtmnRefusal refusal = untrustedPrometheusFile(prometheusFile.c_str())) {
        reportRefusal(kAtmnEventConfiguration, refusal);
        return kAtmnConfigFailed;
    }
    const ComString automationXml(settings.automationXml);
    platform::HRESULT result =
        callComponent("Connect", [&] { return component->Connect(automationXml.get()); });
    if (stopping()) {
        tearDownLink(result >= 0);
        return kSetUpStopped;
    }
    if (result < 0) {
        KRI_TRACE_ERROR(kAtmnSvcImplUnit,
                        "The automation component refused its settings (Connect): 0x%08X\n",
                        static_cast<uint32_t>(result));
        return result;
    }
    KRI_TRACE(kAtmnSvcImplUnit, "Conenction to Automation System complete\n");
    result = client.connect(settings.link.ip, settings.link.port);
    if (result < 0) {
        KRI_TRACE_ERROR(
            kAtmnSvcImplUnit, "Unable to connect to the aggregation server %s:%d: 0x%08X\n",
            settings.link.ip.c_str(), settings.link.port, static_cast<uint32_t>(result));
        tearDownLink(true);
        return result;
    }
    KRI_TRACE(kAtmnSvcImplUnit, "Conenction to Aggregation server complete\n");
    if (!pauseUnlessStopping(kAnnouncePause)) {
        tearDownLink(true);
        return kSetUpStopped;
    }
    result = client.addStudio(settings.link.studioName, settings.link.studioId);
    if (result < 0) {
        KRI_TRACE_ERROR(kAtmnSvcImplUnit, "Unable to announce the studio: 0x%08X\n",
                        static_cast<uint32_t>(result));
        tearDownLink(true);
        return result;
    }
    result = adviseComponent();
    if (stopping()) {
        tearDownLink(true);
        return kSetUpStopped;
    }
    if (result < 0) {
        tearDownLink(true);
    }
    return result;
}

void AtmnSvcImpl::tearDownLink(bool componentConnected) {
    if (componentConnected) {
        callComponent("Disconnect", [&] { return component->Disconnect(); });
    }
    client.disconnect();
}

int32_t AtmnSvcImpl::adviseComponent() {
    int32_t result = kAtmnOk;
    onApartment([&] { result = adviseOnApartment(); });
    return result;
}

int32_t AtmnSvcImpl::adviseOnApartment() {
    void* host = nullptr;
    QueryInterface(IID_IAtmnHost, &host);
    const HeldReference<IAtmnHost> hostReference(static_cast<IAtmnHost*>(host), kAdopted);
    void* advise = nullptr;
    platform::HRESULT result = callComponent(
        "QueryInterface", [&] { return component->QueryInterface(IID_IAtmnAdvise, &advise); });
    const HeldReference<IAtmnAdvise> adviser(static_cast<IAtmnAdvise*>(advise), kAdopted);
    if (result < 0 || adviser.get() == nullptr) {
        result = result < 0 ? result : kAtmnNotSupported;
        KRI_TRACE_ERROR(kAtmnSvcImplUnit,
                        "The automation component offers no IAtmnAdvise: 0x%08X\n",
                        static_cast<uint32_t>(result));
        return result;
    }
    result = callComponent("Advise", [&] { return adviser.get()->Advise(hostReference.get()); });
    if (result < 0) {
        KRI_TRACE_ERROR(kAtmnSvcImplUnit, "The automation component refused Advise: 0x%08X\n",
                        static_cast<uint32_t>(result));
        return result;
    }
    return kAtmnOk;
}

platform::HRESULT AtmnSvcImpl::callComponent(const char* method,
                                             const std::function<platform::HRESULT()>& call) {
    platform::HRESULT result = platform::E_UNEXPECTED;
    onApartment([&] {
        try {
            result = call();
        } catch (...) {
            KRI_TRACE_ERROR(kAtmnSvcImplUnit, "The automation component's %s failed: %s\n", method,
                            currentFailure().c_str());
        }
    });
    return result;
}

void AtmnSvcImpl::onApartment(const std::function<void()>& work) {
    if (apartment) {
        apartment->run(work);
    } else {
        work();
    }
}

int32_t AtmnSvcImpl::stop() {
    const std::optional<Phase> left = enter(Phase::kStopping);
    if (left != Phase::kRunning) {
        // During the set-up run returns by itself and the start-up thread undoes its steps.
        return kAtmnOk;
    }
    monitor->stop();
    callComponent("Disconnect", [&] { return component->Disconnect(); });
    // The process ends through exit, which runs no destructor: the client says here what it
    // leaves undelivered.
    client.stopDelivery();
    supervisionThread.signal();
    if (doneEvent->wait(kSupervisionStopWaitMs) !=
        platform::AutoResetEvent::WaitResult::kSignalled) {
        KRI_TRACE_WARNING(kAtmnSvcImplUnit,
                          "The supervision thread did not end in time; stopping without it\n");
    } else {
        // The thread returns right after it sets the done event; joined, it is not left over
        // when the process exits.
        supervisionThread.join(kSupervisionStopWaitMs);
    }
    stopSignalled.store(true);
    return kAtmnOk;
}

bool AtmnSvcImpl::isRunning() {
    ThreadLockGuard guard(phaseMutex);
    return phase == Phase::kRunning;
}

void AtmnSvcImpl::uninit() {
    // After a stop from outside ("AtmnStop" set by another process) the thread still runs.
    enter(Phase::kStopping);
    supervisionThread.signal();
    supervisionThread.join(BaseThread::kInfinite);
    startUpThread.reset();
    monitor.reset();
    stopEvent.reset();
    if (component != nullptr) {
        onApartment([this] { component->Release(); });
        component = nullptr;
    }
    apartment.reset();
    platform::CoUninitialize();
}

void AtmnSvcImpl::reportEvent(uint32_t code, const char* text) {
    KriReportEvent(code, "%s", text);
}

void AtmnSvcImpl::reload(std::function<void()> reloaded) {
    {
        ThreadLockGuard guard(phaseMutex);
        if (phase == Phase::kStarting || phase == Phase::kRunning) {
            reloadRequested = true;
            reloadDone = std::move(reloaded);
            return;
        }
    }
    KRI_TRACE_WARNING(kAtmnSvcImplUnit, "Reload ignored: the service is not running\n");
    if (reloaded) {
        reloaded();
    }
}

void AtmnSvcImpl::superviseLink() {
    for (;;) {
        if (supervisionThread.waitForSignal(kSupervisionPeriodMs) != BaseThread::kTimedOut ||
            stopping()) {
            doneEvent->set();
            return;
        }
        supervisionTurnMs.store(CAtmnMonitor::steadyNowMs());
        std::function<void()> reloaded;
        bool reloading;
        {
            ThreadLockGuard guard(phaseMutex);
            reloading = std::exchange(reloadRequested, false);
            reloaded = std::move(reloadDone);
        }
        if (reloading) {
            reloadLink();
            if (reloaded && !stopping()) {
                reloaded();
            }
        } else if (reconnectionFailed || !client.isConnected()) {
            reconnect();
        }
        certificates.checkIfDue(CertificateWatch::currentTime());
    }
}

void AtmnSvcImpl::reconnect() {
    try {
        client.disconnect();
        const CAtmnLinkSettings link = CAtmnConfig(configPath).ReadReconnectSettings();
        client.connect(link.ip, link.port);
        // A stop under way has disconnected the client on purpose.
        if (stopping()) {
            client.disconnect();
            return;
        }
        // Written at most once a minute: while the server is away every attempt would repeat
        // it, and the link's own lines say whether the connection came about.
        const int64_t nowMs = CAtmnMonitor::steadyNowMs();
        if (nowMs - reconnectLineMs >= kReconnectLinePeriodMs) {
            reconnectLineMs = nowMs;
            KRI_TRACE(kAtmnSvcImplUnit, "Conenction to Aggregation server complete\n");
        }
        if (!pauseUnlessStopping(kAnnouncePause)) {
            return;
        }
        client.addStudio(link.studioName, link.studioId);
        reconnectionFailed = false;
    } catch (const CAtmnConfigUntrusted& e) {
        reportRefusal(kAtmnEventConfiguration, "the configuration file", e.reason());
        reconnectionFailed = true;
    } catch (...) {
        ReportReconnectError();
        reconnectionFailed = true;
    }
}

void AtmnSvcImpl::reloadLink() {
    CAtmnInitSettings settings;
    try {
        CAtmnConfig config(configPath);
        settings = config.ReadInitSettings();
        config.ReadRunSettings();
    } catch (...) {
        KRI_TRACE_ERROR(kAtmnSvcImplUnit,
                        "Reload refused, the running configuration stays: %s: %s\n",
                        configPath.c_str(), currentFailure().c_str());
        return;
    }
    if (const CAtmnRefusal refusal = untrustedSslFiles(settings)) {
        KRI_TRACE_ERROR(kAtmnSvcImplUnit,
                        "Reload refused, the running configuration stays: the %s: %s\n",
                        refusal.what, refusal.reason.c_str());
        return;
    }
    // Loaded on a client of its own first: the running link's context must not go before the
    // new files have proved good.
    if (CAggrSvrClient().setupSsl(settings.sslCfktFile, settings.sslKeyFile, settings.sslCAFile) <
        0) {
        KRI_TRACE_ERROR(kAtmnSvcImplUnit,
                        "Reload refused, the running configuration stays: the certificate, key "
                        "or CA file of %s does not load\n",
                        configPath.c_str());
        return;
    }
    client.disconnect();
    client.setupSsl(settings.sslCfktFile, settings.sslKeyFile, settings.sslCAFile);
    // The new context checks the server's name as the reloaded file says.
    client.setServerName(settings.sslServerName);
    warnIfServerNameUnchecked(settings.sslServerName);
    certificates.watch(settings.sslCfktFile, settings.sslCAFile);
    KRI_TRACE(kAtmnSvcImplUnit, "Configuration reloaded from %s\n", configPath.c_str());
    reconnect();
}

platform::HRESULT KRI_COM_CALL AtmnSvcImpl::QueryInterface(const platform::IID& iid,
                                                           void** object) {
    if (object == nullptr) {
        return kAtmnNotSupported;
    }
    if (iid == IID_IAtmnEvents) {
        *object = static_cast<IAtmnEvents*>(this);
    } else if (iid == IID_IAtmnHost) {
        *object = static_cast<IAtmnHost*>(this);
    } else if (iid == IID_IAtmnUnknown) {
        *object = static_cast<IAtmnUnknown*>(this);
    } else {
        *object = nullptr;
        return kAtmnNotSupported;
    }
    AddRef();
    return kAtmnOk;
}

uint32_t KRI_COM_CALL AtmnSvcImpl::AddRef() {
    return static_cast<uint32_t>(referenceCount.fetch_add(1, std::memory_order_relaxed) + 1);
}

uint32_t KRI_COM_CALL AtmnSvcImpl::Release() {
    int32_t count = referenceCount.load(std::memory_order_relaxed);
    do {
        if (count <= 1) {
            DestroySelf();
            return static_cast<uint32_t>(count);
        }
    } while (!referenceCount.compare_exchange_weak(count, count - 1, std::memory_order_acq_rel,
                                                   std::memory_order_relaxed));
    return static_cast<uint32_t>(count - 1);
}

void AtmnSvcImpl::DestroySelf() {
    KRI_TRACE(kAtmnSvcImplUnit, "Release without a matching AddRef ignored\n");
}

platform::HRESULT KRI_COM_CALL AtmnSvcImpl::UnnamedHostMethod1() {
    return kAtmnNotSupported;
}

platform::HRESULT KRI_COM_CALL AtmnSvcImpl::UnnamedHostMethod2() {
    return kAtmnNotSupported;
}

platform::HRESULT KRI_COM_CALL AtmnSvcImpl::UnnamedHostMethod3(int32_t) {
    return kAtmnNotSupported;
}

uint32_t AtmnSvcImpl::openSession(IAtmnPlaylist* playlist, const String& name) {
    uint32_t session = client.findSession(name);
    if (session != 0) {
        return session;
    }
    const String playlistXml = buildPlaylistXml(playlist, component);
    try {
        return client.addSession(name, name, playlistXml);
    } catch (const YuException&) {
        // Another sink thread opened the playlist's session in the meantime.
        session = client.findSession(name);
        if (session == 0) {
            throw;
        }
        return session;
    }
}

platform::HRESULT AtmnSvcImpl::handleEvent(const char* method, IAtmnPlaylist* playlist,
                                           const std::function<void()>& handle) {
    if (playlist == nullptr) {
        KRI_TRACE(kAtmnSvcImplUnit, "%s called without a playlist\n", method);
        return kAtmnOk;
    }
    const HeldReference<IAtmnPlaylist> playlistReference(playlist);
    try {
        handle();
    } catch (...) {
        KRI_TRACE_WARNING(kAtmnSvcImplUnit, "Failure in %s: %s\n", method,
                          currentFailure().c_str());
    }
    return kAtmnOk;
}

platform::HRESULT AtmnSvcImpl::handleEvent(const char* method, IAtmnPlaylist* playlist,
                                           IAtmnEntry* entry, const std::function<void()>& handle) {
    if (playlist == nullptr || entry == nullptr) {
        KRI_TRACE(kAtmnSvcImplUnit, "%s called without a playlist or entry\n", method);
        return kAtmnOk;
    }
    const HeldReference<IAtmnEntry> entryReference(entry);
    return handleEvent(method, playlist, handle);
}

platform::HRESULT KRI_COM_CALL AtmnSvcImpl::onEntryChange(IAtmnPlaylist* playlist,
                                                          IAtmnEntry* entry, int32_t change) {
    return handleEvent("onEntryChange", playlist, entry, [&] {
        const String name = nameOf(playlist);
        const uint32_t session = openSession(playlist, name);
        const String id = idOf(entry);
        std::this_thread::sleep_for(kEntryPause);
        switch (change) {
            case kAtmnEntryAdded:
                client.addEntry(session, id, "Entry", buildEntryXml(entry));
                break;
            case kAtmnEntryChanged:
                client.updateEntry(session, id, "Entry", buildEntryXml(entry));
                break;
            case kAtmnEntryRemoved:
                client.removeEntry(session, id, "Entry", buildEntryXml(entry));
                break;
            default:
                break;
        }
    });
}

platform::HRESULT KRI_COM_CALL AtmnSvcImpl::onPlaylistRemoved(IAtmnPlaylist* playlist, int32_t) {
    return handleEvent("onPlaylistRemoved", playlist, [&] {
        const String name = nameOf(playlist);
        client.removeSession(client.findSession(name), name);
    });
}

platform::HRESULT KRI_COM_CALL AtmnSvcImpl::onTimeUpdate(IAtmnPlaylist* playlist, int32_t) {
    return handleEvent("onTimeUpdate", playlist, [&] {
        const uint32_t session = client.findSession(nameOf(playlist));
        AtmnDate date{};
        AtmnTime time{};
        component->GetHouseTime(&date, &time);
        client.updateTime(session, buildHouseTimeXml(date, time));
    });
}

platform::HRESULT KRI_COM_CALL AtmnSvcImpl::onSegmentChange(IAtmnPlaylist* playlist,
                                                            IAtmnEntry* entry, int32_t segment) {
    return handleEvent("onSegmentChange", playlist, entry, [&] {
        const String name = nameOf(playlist);
        const String title = nameOf(entry);
        const uint32_t session = client.findSession(name);
        client.changeSegment(session, String(segment), buildEntryXml(entry));
        KRI_TRACE(kAtmnSvcImplUnit, "Fired change segment....name:%s title:%s segnum:%d\n",
                  name.c_str(), title.c_str(), segment);
    });
}
