// AtmnSvcImpl: the automation binding. It loads the studio's automation component named by the
// configuration file, hands it its "Automation" settings, connects the aggregation client and
// announces the studio, and gives the component an event sink that turns each playlist event into
// one transaction. A supervision thread rebuilds the link to the aggregation server when it is
// lost, reading the server and studio from the configuration file anew each time.
//
// The service object owns one AtmnSvcImpl by value and calls init and run on its service thread
// and stop on its control thread while run blocks. The component calls the sink (IAtmnEvents) on
// threads of its own; the sink methods take no lock and may run at the same time as each other,
// the supervision thread and stop. AddRef and Release may be called from any thread.
//
// The component lives in an apartment of its own (Platform/ComApartment.h), chosen by its
// registered threading model: a thread of the service's that serves a single-threaded apartment
// with a message loop for "Apartment" (or none), the multithreaded apartment for "Free" and
// "Both". Every call the service makes into the component (its creation, Connect, Advise,
// Disconnect, the last Release) runs on that thread. Calls inside a sink method go to the objects
// the component handed in, on the thread it called from: its apartment's thread for a
// single-threaded component, any thread for a free-threaded one.
//
// The object presents IAtmnUnknown, IAtmnHost and IAtmnEvents on one reference count, which
// starts at 1: the owner's reference. The owner never gives it up, so a Release that would take
// the count to zero (one more Release than AddRefs) is refused with a trace line: the owner, not a
// Release, ends the object.
//
// The lifecycle is one Phase, changed only by enter(). No lock is held across a call into the
// component, a name resolution or a pause, so a stop is served within a few seconds in every
// phase: run does its set-up on a start-up thread and returns as soon as a stop comes, whatever
// step that thread is in; the thread looks for a stop between its steps and undoes what it has
// set up. A component call that has not returned by then is left to finish on its own. Once
// set up, a monitor thread (AtmnMonitor.h) publishes the status and feeds systemd's watchdog,
// and reloads asked for by the control thread are carried out by the supervision thread.
//
// Requires: init once, then run once, on the same thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "BaseThread.h"
#include "LibraryInterfaces/String.h"
#include "Platform/ComApartment.h"
#include "Platform/Event.h"
#include "Platform/NamedEvent.h"
#include "Platform/Thread.h"
#include "ThreadLock.h"
#include "Tools/RovazoRiva/Common/AggrSvrConn.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnInterfaces.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnMonitor.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/CertificateWatch.h"

class AtmnSvcImpl final : public IAtmnUnknown, public IAtmnHost, public IAtmnEvents {
public:
    // The named event that ends run, in this process or from another one.
    static constexpr char kStopEventName[] = "AtmnStop";

    AtmnSvcImpl();
    ~AtmnSvcImpl();
    AtmnSvcImpl(const AtmnSvcImpl&) = delete;
    AtmnSvcImpl& operator=(const AtmnSvcImpl&) = delete;

    // Initialises COM, reads the configuration file, creates the component and sets up the
    // client's SSL context. kAtmnOk; -1 for a configuration error or a component that cannot be
    // created; the client's negative result when the SSL set-up fails.
    int32_t init(const String& path);
    // After a failed init: whether only a change of the configuration or of the files it names
    // can mend it (not another instance that runs, nor a component that cannot be created).
    bool initFailedOnConfiguration() const { return configurationFailure; }
    // Connects the component and the client, announces the studio, hands the component the host
    // interface, starts the supervision thread, calls started and waits for the stop event.
    // kAtmnOk after a stop, also one that came during the set-up; -1 for a configuration error
    // or without a component; init's failure when init failed once the component existed;
    // otherwise the negative result of the step that failed, which an error line names.
    int32_t run(const std::function<void()>& started = nullptr);
    // Once run has done its set-up: disconnects the component and the client, ends the
    // supervision thread (waiting a few seconds at most) and ends run's wait. During the set-up
    // it only makes run return. kAtmnOk.
    int32_t stop();
    // Where the status and the watchdog's messages go ("STATUS=...", "WATCHDOG=1"): the service
    // manager. Called before run; the function is called on the monitor's thread.
    void setNotify(std::function<void(const std::string&)> notify);
    // Has the supervision thread reload: re-read the configuration, rebuild the SSL context from
    // its files and rebuild the link (announcing the studio again), then call reloaded on that
    // thread. A configuration or certificate set that does not load leaves the running link as
    // it is, with an error line that says why. The component keeps its settings until the next
    // start. Ignored, with reloaded called at once, unless run is setting up or serving.
    void reload(std::function<void()> reloaded);
    // Ends the supervision thread if it still runs, closes the stop event, releases the component
    // and ends COM use on the calling thread. Run by the destructor.
    void uninit();
    // Writes the text as a trace line and as an event-log record with the code.
    void reportEvent(uint32_t code, const char* text);

    // Whether run has done its set-up (the component advised, the supervision thread started)
    // and no stop has come since.
    bool isRunning();

    // The client, so that its owner can point its name resolution elsewhere.
    CAggrSvrClient& aggregationClient() { return client; }

    // IAtmnUnknown, IAtmnHost and IAtmnEvents. QueryInterface answers IAtmnEvents, IAtmnHost and
    // IAtmnUnknown and nothing else (IUnknown's own identifier included): kAtmnNotSupported with
    // *object null.
    platform::HRESULT KRI_COM_CALL QueryInterface(const platform::IID& iid, void** object) override;
    uint32_t KRI_COM_CALL AddRef() override;
    uint32_t KRI_COM_CALL Release() override;
    // Called by Release instead of ending the object: gives the owner's reference back and writes
    // a trace line about the unbalanced Release.
    void DestroySelf() override;

    platform::HRESULT KRI_COM_CALL UnnamedHostMethod1() override;
    platform::HRESULT KRI_COM_CALL UnnamedHostMethod2() override;
    platform::HRESULT KRI_COM_CALL UnnamedHostMethod3(int32_t value) override;

    // Each adds its own references to the objects for the call, frees every string the component
    // returns, keeps any failure inside (a trace line) and returns kAtmnOk.
    platform::HRESULT KRI_COM_CALL onEntryChange(IAtmnPlaylist* playlist, IAtmnEntry* entry,
                                                 int32_t change) override;
    platform::HRESULT KRI_COM_CALL onPlaylistRemoved(IAtmnPlaylist* playlist,
                                                     int32_t unused) override;
    platform::HRESULT KRI_COM_CALL onTimeUpdate(IAtmnPlaylist* playlist, int32_t unused) override;
    platform::HRESULT KRI_COM_CALL onSegmentChange(IAtmnPlaylist* playlist, IAtmnEntry* entry,
                                                   int32_t segment) override;

private:
    // The supervision thread; its body is superviseLink.
    class SupervisionThread final : public BaseThread {
    public:
        explicit SupervisionThread(AtmnSvcImpl& owner) : BaseThread(kInfinite), owner(owner) {}
        void run() override {
            platform::nameCurrentThread("supervision");
            owner.superviseLink();
        }

    private:
        AtmnSvcImpl& owner;
    };

    // What setUpLink returns when a stop came between two of its steps; no status code.
    static constexpr int32_t kSetUpStopped = 1;

    enum class Phase {
        kIdle,         // constructed
        kInitialised,  // init succeeded
        kInitFailed,   // init failed
        kStarting,     // run's start-up thread does the set-up
        kRunning,      // set up; the supervision thread runs
        kFailed,       // the set-up failed
        kStopping,     // stop has come
    };

    // Moves to next when the current phase allows it; the phase left, or nothing when refused.
    // Entering kRunning or kFailed records the set-up's outcome with it.
    std::optional<Phase> enter(Phase next, int32_t setUpOutcome = kAtmnOk) EXCLUDES(phaseMutex);
    bool stopping() EXCLUDES(phaseMutex);
    // Waits up to the time unless a stop comes first; false when it did.
    bool pauseUnlessStopping(std::chrono::milliseconds time) EXCLUDES(phaseMutex);

    int32_t initSteps(const String& path);
    // The start-up thread's body: set-up, then kRunning or kFailed.
    void startUp();
    // run's wait for the end of the set-up and then for the stop.
    int32_t runUntilStopped(const std::function<void()>& started);
    // run's steps up to Advise; kSetUpStopped when a stop came between two of them.
    int32_t setUpLink();
    // Undoes what setUpLink did before it failed or was stopped.
    void tearDownLink(bool componentConnected);
    void waitForStopEvent();
    // Connects the component through IAtmnAdvise with this object's host interface, on the
    // component's apartment thread.
    int32_t adviseComponent();
    int32_t adviseOnApartment();
    // Runs work on the component's apartment thread (at once before there is one).
    void onApartment(const std::function<void()>& work);
    // Calls the component, keeping an exception it throws inside: an error line, then E_UNEXPECTED.
    platform::HRESULT callComponent(const char* method,
                                    const std::function<platform::HRESULT()>& call);
    void superviseLink();
    void reconnect();
    // The supervision thread's part of reload.
    void reloadLink();
    // The monitor of the status and the watchdog, made by the start-up thread.
    std::unique_ptr<CAtmnMonitor> makeMonitor();
    // The frame of a sink method: refuses a missing playlist (or entry) with a trace line, holds
    // a reference to each object during the call and keeps any failure of handle inside with a
    // warning line. kAtmnOk.
    platform::HRESULT handleEvent(const char* method, IAtmnPlaylist* playlist,
                                  const std::function<void()>& handle);
    platform::HRESULT handleEvent(const char* method, IAtmnPlaylist* playlist, IAtmnEntry* entry,
                                  const std::function<void()>& handle);
    // The session of the playlist's name, opened with "AddSession" when there is none.
    uint32_t openSession(IAtmnPlaylist* playlist, const String& name);

    std::atomic<int32_t> referenceCount{1};
    SupervisionThread supervisionThread{*this};
    CAggrSvrClient client;
    // Made by init with the component, ended by uninit after the component's last Release.
    std::unique_ptr<platform::ComApartment> apartment;
    IAtmnSystem* component = nullptr;
    std::unique_ptr<platform::NamedEvent> stopEvent;
    std::unique_ptr<platform::AutoResetEvent> doneEvent;
    // Warns at start and once a day of certificates that run out.
    CertificateWatch certificates;
    String configPath;

    // Guards phase, setUpResult and the reload request; never held across a call that may take
    // long.
    ThreadLock phaseMutex;
    std::condition_variable_any phaseChanged;
    Phase phase GUARDED_BY(phaseMutex) = Phase::kIdle;
    // kSetUpStopped until the set-up has finished.
    int32_t setUpResult GUARDED_BY(phaseMutex) = kSetUpStopped;
    // A reload asked for and not yet taken up by the supervision thread, with what it calls
    // when done.
    bool reloadRequested GUARDED_BY(phaseMutex) = false;
    std::function<void()> reloadDone GUARDED_BY(phaseMutex);
    // What init returned; run gives it back at once when init failed after creating the
    // component. Written by init, read by run, on the same thread.
    int32_t initResult = kAtmnOk;
    bool configurationFailure = false;
    bool componentUnavailable = false;  // the registered component could not be created
    // When reconnect last wrote its line (steady clock, ms); the supervision thread's alone.
    int64_t reconnectLineMs = INT64_MIN / 2;
    std::unique_ptr<platform::Thread> startUpThread;
    std::function<void(const std::string&)> notifyManager;
    // Written by the start-up thread before it enters kRunning; stopped by stop or uninit.
    String prometheusFile;
    std::unique_ptr<CAtmnMonitor> monitor;
    // The steady-clock milliseconds of the supervision thread's last turn, for the watchdog.
    std::atomic<int64_t> supervisionTurnMs{0};
    // Set by stop(), which ends run's wait without setting "AtmnStop": the named event is for
    // other processes.
    std::atomic<bool> stopSignalled{false};
    // The last reconnection failed after taking the old connection down. The client, left
    // without sockets, then reports the link as up; the supervision thread tries again anyway.
    // Used by the supervision thread only.
    bool reconnectionFailed = false;
};
