#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnSvcImpl.h"

#include <chrono>
#include <exception>
#include <mutex>
#include <string>
#include <thread>

#include "LibraryInterfaces/KriErr.h"
#include "LibraryInterfaces/XMLException.h"
#include "Platform/ComRuntime.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnConfig.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnDocuments.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/ComponentScope.h"
#include "YuException.h"

namespace {

constexpr auto kAnnouncePause = std::chrono::milliseconds(2000);
// How often run looks whether this process's own stop was signalled while it waits on "AtmnStop".
constexpr uint32_t kOwnStopCheckMs = 250;
constexpr auto kEntryPause = std::chrono::milliseconds(200);
constexpr uint32_t kSupervisionPeriodMs = 1000;

// A string of ours handed to the component; freed at the end of the scope.
class OwnString {
public:
    explicit OwnString(const String& text) : value(platform::bstrFromUtf8(text.c_str())) {}
    ~OwnString() { platform::SysFreeString(value); }
    OwnString(const OwnString&) = delete;
    OwnString& operator=(const OwnString&) = delete;

    platform::BSTR get() const { return value; }

private:
    platform::BSTR value;
};

String playlistName(IAtmnPlaylist* playlist) {
    ReturnedString name;
    playlist->GetName(name.out());
    return name.text();
}

String entryId(IAtmnEntry* entry) {
    ReturnedString id;
    entry->GetId(id.out());
    return id.text();
}

String entryName(IAtmnEntry* entry) {
    ReturnedString name;
    entry->GetName(name.out());
    return name.text();
}

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

}  // namespace

AtmnSvcImpl::AtmnSvcImpl() = default;

AtmnSvcImpl::~AtmnSvcImpl() {
    uninit();
}

int32_t AtmnSvcImpl::init(const String& path) {
    std::lock_guard<ThreadLock> guard(lifecycleLock);
    initResult = initLocked(path);
    return initResult;
}

int32_t AtmnSvcImpl::initLocked(const String& path) {
    platform::CoInitialize(nullptr);
    try {
        configPath = path;
        CAtmnConfig config(path);
        const CAtmnInitSettings settings = config.ReadInitSettings();
        platform::CLSID clsid{};
        if (classOf(settings.componentClass, &clsid) < 0) {
            ReportInvalidClass(settings.componentClass);
            return ReportConfigError(configPath);
        }
        void* created = nullptr;
        if (platform::CoCreateInstance(clsid, nullptr, platform::CLSCTX_INPROC_SERVER,
                                       IID_IAtmnSystem, &created) < 0 ||
            created == nullptr) {
            KRI_TRACE_ERROR(kAtmnSvcImplUnit, "Unable to load Automation stub component\n");
            reportEvent(kAtmnEventNoComponent, "Playlist Automation");
            return kAtmnConfigFailed;
        }
        component = static_cast<IAtmnSystem*>(created);
        const int32_t ssl =
            client.setupSsl(settings.sslCfktFile, settings.sslKeyFile, settings.sslCAFile);
        if (ssl < 0) {
            return ssl;
        }
    } catch (...) {
        return ReportConfigError(configPath);
    }
    stopEvent = platform::NamedEvent::create(kStopEventName);
    if (!stopEvent) {
        KRI_TRACE(kAtmnSvcImplUnit, "Unable to create the stop event \"%s\"\n", kStopEventName);
        return kAtmnConfigFailed;
    }
    doneEvent = std::make_unique<platform::AutoResetEvent>();
    return kAtmnOk;
}

int32_t AtmnSvcImpl::run() {
    {
        std::lock_guard<ThreadLock> guard(lifecycleLock);
        if (component == nullptr) {
            return ReportConfigError(configPath);
        }
        if (initResult < 0) {
            return initResult;
        }
        if (stopRequested) {
            return kAtmnOk;
        }
        const int32_t result = setUpLink();
        if (result < 0) {
            return result;
        }
        if (supervisionThread.start() != 0) {
            KRI_TRACE(kAtmnSvcImplUnit, "Unable to start the supervision thread\n");
        } else {
            supervisionStarted = true;
        }
    }
    waitForStopEvent();
    return kAtmnOk;
}

void AtmnSvcImpl::waitForStopEvent() {
    using WaitResult = platform::NamedEvent::WaitResult;
    while (stopEvent->wait(kOwnStopCheckMs) == WaitResult::kTimedOut) {
        if (stopSignalled.load()) {
            // Take our own signal if nobody else did, so it cannot end another instance's wait.
            stopEvent->wait(0);
            return;
        }
    }
}

int32_t AtmnSvcImpl::setUpLink() {
    try {
        const CAtmnRunSettings settings = CAtmnConfig(configPath).ReadRunSettings();
        const OwnString automationXml(settings.automationXml);
        platform::HRESULT result = component->Connect(automationXml.get());
        if (result < 0) {
            return result;
        }
        KRI_TRACE(kAtmnSvcImplUnit, "Conenction to Automation System complete\n");
        result = client.connect(settings.link.ip, settings.link.port);
        if (result < 0) {
            return result;
        }
        KRI_TRACE(kAtmnSvcImplUnit, "Conenction to Aggregation server complete\n");
        std::this_thread::sleep_for(kAnnouncePause);
        result = client.addStudio(settings.link.studioName, settings.link.studioId);
        if (result < 0) {
            return result;
        }
        return adviseComponent();
    } catch (...) {
        return ReportConfigError(configPath);
    }
}

int32_t AtmnSvcImpl::adviseComponent() {
    void* host = nullptr;
    QueryInterface(IID_IAtmnHost, &host);
    void* advise = nullptr;
    const platform::HRESULT result = component->QueryInterface(IID_IAtmnAdvise, &advise);
    if (result < 0 || advise == nullptr) {
        static_cast<IAtmnHost*>(host)->Release();
        return result < 0 ? result : kAtmnNotSupported;
    }
    static_cast<IAtmnAdvise*>(advise)->Advise(static_cast<IAtmnHost*>(host));
    static_cast<IAtmnAdvise*>(advise)->Release();
    static_cast<IAtmnHost*>(host)->Release();
    return kAtmnOk;
}

int32_t AtmnSvcImpl::stop() {
    bool waitForSupervision = false;
    platform::NamedEvent* stopping = nullptr;
    {
        std::lock_guard<ThreadLock> guard(lifecycleLock);
        stopRequested = true;
        if (component != nullptr) {
            component->Disconnect();
        }
        client.disconnect();
        supervisionThread.signal();
        waitForSupervision = supervisionStarted;
        supervisionStarted = false;
        stopping = stopEvent.get();
    }
    if (waitForSupervision) {
        doneEvent->wait(platform::kInfinite);
    }
    if (stopping != nullptr) {
        stopSignalled.store(true);
        stopping->set();
    }
    return kAtmnOk;
}

bool AtmnSvcImpl::isRunning() {
    std::lock_guard<ThreadLock> guard(lifecycleLock);
    return supervisionStarted;
}

void AtmnSvcImpl::uninit() {
    // After a stop from outside ("AtmnStop" set by another process) the thread still runs.
    supervisionThread.signal();
    supervisionThread.join(BaseThread::kInfinite);
    stopEvent.reset();
    if (component != nullptr) {
        component->Release();
        component = nullptr;
    }
    platform::CoUninitialize();
}

void AtmnSvcImpl::reportEvent(uint32_t code, const char* text) {
    ReportAtmnEvent(code, "%s", text);
}

void AtmnSvcImpl::superviseLink() {
    for (;;) {
        if (supervisionThread.waitForSignal(kSupervisionPeriodMs) != 3) {
            doneEvent->set();
            return;
        }
        if (reconnectionFailed || !client.isConnected()) {
            reconnect();
        }
    }
}

void AtmnSvcImpl::reconnect() {
    std::lock_guard<ThreadLock> guard(lifecycleLock);
    // A stop under way has disconnected the client on purpose.
    if (stopRequested) {
        return;
    }
    try {
        client.disconnect();
        const CAtmnLinkSettings link = CAtmnConfig(configPath).ReadReconnectSettings();
        client.connect(link.ip, link.port);
        KRI_TRACE(kAtmnSvcImplUnit, "Conenction to Aggregation server complete\n");
        std::this_thread::sleep_for(kAnnouncePause);
        client.addStudio(link.studioName, link.studioId);
        reconnectionFailed = false;
    } catch (...) {
        ReportReconnectError();
        reconnectionFailed = true;
    }
}

platform::HRESULT AtmnSvcImpl::QueryInterface(const platform::IID& iid, void** object) {
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

uint32_t AtmnSvcImpl::AddRef() {
    return static_cast<uint32_t>(referenceCount.fetch_add(1, std::memory_order_relaxed) + 1);
}

uint32_t AtmnSvcImpl::Release() {
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

platform::HRESULT AtmnSvcImpl::UnnamedHostMethod1() {
    return kAtmnNotSupported;
}

platform::HRESULT AtmnSvcImpl::UnnamedHostMethod2() {
    return kAtmnNotSupported;
}

platform::HRESULT AtmnSvcImpl::UnnamedHostMethod3(int32_t) {
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

platform::HRESULT AtmnSvcImpl::onEntryChange(IAtmnPlaylist* playlist, IAtmnEntry* entry,
                                             int32_t change) {
    if (playlist == nullptr || entry == nullptr) {
        KRI_TRACE(kAtmnSvcImplUnit, "onEntryChange called without a playlist or entry\n");
        return kAtmnOk;
    }
    HeldReference<IAtmnPlaylist> playlistReference(playlist);
    HeldReference<IAtmnEntry> entryReference(entry);
    try {
        const String name = playlistName(playlist);
        const uint32_t session = openSession(playlist, name);
        const String id = entryId(entry);
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
    } catch (...) {
        KRI_TRACE_WARNING(kAtmnSvcImplUnit, "Failure in onEntryChange: %s\n",
                          currentFailure().c_str());
    }
    return kAtmnOk;
}

platform::HRESULT AtmnSvcImpl::onPlaylistRemoved(IAtmnPlaylist* playlist, int32_t) {
    if (playlist == nullptr) {
        KRI_TRACE(kAtmnSvcImplUnit, "onPlaylistRemoved called without a playlist\n");
        return kAtmnOk;
    }
    HeldReference<IAtmnPlaylist> playlistReference(playlist);
    try {
        const String name = playlistName(playlist);
        client.removeSession(client.findSession(name), name);
    } catch (...) {
        KRI_TRACE_WARNING(kAtmnSvcImplUnit, "Failure in onPlaylistRemoved: %s\n",
                          currentFailure().c_str());
    }
    return kAtmnOk;
}

platform::HRESULT AtmnSvcImpl::onTimeUpdate(IAtmnPlaylist* playlist, int32_t) {
    if (playlist == nullptr) {
        KRI_TRACE(kAtmnSvcImplUnit, "onTimeUpdate called without a playlist\n");
        return kAtmnOk;
    }
    HeldReference<IAtmnPlaylist> playlistReference(playlist);
    try {
        const uint32_t session = client.findSession(playlistName(playlist));
        AtmnDate date{};
        AtmnTime time{};
        component->GetHouseTime(&date, &time);
        client.updateTime(session, buildHouseTimeXml(date, time));
    } catch (...) {
        KRI_TRACE_WARNING(kAtmnSvcImplUnit, "Failure in onTimeUpdate: %s\n",
                          currentFailure().c_str());
    }
    return kAtmnOk;
}

platform::HRESULT AtmnSvcImpl::onSegmentChange(IAtmnPlaylist* playlist, IAtmnEntry* entry,
                                               int32_t segment) {
    if (playlist == nullptr || entry == nullptr) {
        KRI_TRACE(kAtmnSvcImplUnit, "onSegmentChange called without a playlist or entry\n");
        return kAtmnOk;
    }
    HeldReference<IAtmnPlaylist> playlistReference(playlist);
    HeldReference<IAtmnEntry> entryReference(entry);
    try {
        const String name = playlistName(playlist);
        const String title = entryName(entry);
        const uint32_t session = client.findSession(name);
        client.changeSegment(session, String(segment), buildEntryXml(entry));
        KRI_TRACE(kAtmnSvcImplUnit, "Fired change segment....name:%s title:%s segnum:%d\n",
                  name.c_str(), title.c_str(), segment);
    } catch (...) {
        KRI_TRACE_WARNING(kAtmnSvcImplUnit, "Failure in onSegmentChange: %s\n",
                          currentFailure().c_str());
    }
    return kAtmnOk;
}
