// A component registered as "Apartment" that calls back through window messages posted to the
// thread that created it: its ticks arrive, all of them and in order, on the apartment's thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "Eventually.h"
#include "Platform/ComApartment.h"
#include "Platform/ComRuntime.h"
#include "Plugins/TestTicker.h"
#include "TempRegistry.h"

using namespace platform;

namespace {

class RecordingSink final : public ITestTickSink {
public:
    explicit RecordingSink(const ComApartment& apartment,
                           std::chrono::milliseconds pause = std::chrono::milliseconds(0))
        : apartment_(apartment), pause_(pause) {}

    HRESULT KRI_COM_CALL QueryInterface(const IID& iid, void** object) override {
        if (iid == IID_IUnknown || iid == IID_ITestTickSink) {
            AddRef();
            *object = static_cast<ITestTickSink*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    // Lives on the test's stack; the count only shows that the ticker gives back what it took.
    uint32_t KRI_COM_CALL AddRef() override { return ++references_; }
    uint32_t KRI_COM_CALL Release() override { return --references_; }
    HRESULT KRI_COM_CALL Tick(int32_t number) override {
        std::this_thread::sleep_for(pause_);
        std::lock_guard lock(mutex_);
        ticks_.push_back(number);
        allOnApartment_ = allOnApartment_ && apartment_.isApartmentThread();
        return S_OK;
    }

    std::vector<int32_t> ticks() {
        std::lock_guard lock(mutex_);
        return ticks_;
    }
    bool allOnApartment() {
        std::lock_guard lock(mutex_);
        return allOnApartment_;
    }
    uint32_t references() const { return references_; }

private:
    const ComApartment& apartment_;
    const std::chrono::milliseconds pause_;
    std::atomic<uint32_t> references_{0};
    std::mutex mutex_;
    std::vector<int32_t> ticks_;
    bool allOnApartment_ = true;
};

// The ticker registered and made on the apartment's thread, started with the sink.
class ComApartmentWindows : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(registerServer(KRI_TEST_TICKER_PLUGIN), S_OK);
        const std::string model = inprocThreadingModel(kTickerClass);
        ASSERT_EQ(model, "Apartment");
        apartment = ComApartment::start(ComApartment::modelFor(model));
        ASSERT_TRUE(apartment);
    }
    void TearDown() override { unregisterServer(KRI_TEST_TICKER_PLUGIN); }

    HRESULT startTicker(RecordingSink& sink, int32_t ticks) {
        HRESULT started = E_FAIL;
        apartment->run([&] {
            if (CoCreateInstance(kTickerClass, nullptr, CLSCTX_INPROC_SERVER, IID_ITestTicker,
                                 &ticker) >= 0) {
                started = static_cast<ITestTicker*>(ticker)->Start(&sink, ticks);
            }
        });
        return started;
    }
    void releaseTicker() {
        apartment->run([&] { static_cast<ITestTicker*>(ticker)->Release(); });
    }

    TempRegistry registry;
    std::unique_ptr<ComApartment> apartment;
    void* ticker = nullptr;
};

TEST_F(ComApartmentWindows, AnApartmentComponentThatPostsToItsThreadDeliversEveryTickInOrder) {
    RecordingSink sink(*apartment);
    constexpr int32_t kTicks = 200;
    ASSERT_EQ(startTicker(sink, kTicks), S_OK);
    EXPECT_TRUE(eventually([&] { return sink.ticks().size() == kTicks; }));
    releaseTicker();
    const std::vector<int32_t> ticks = sink.ticks();
    ASSERT_EQ(ticks.size(), static_cast<size_t>(kTicks));
    for (int32_t number = 0; number < kTicks; ++number) {
        EXPECT_EQ(ticks[number], number);
    }
    EXPECT_TRUE(sink.allOnApartment());
    EXPECT_EQ(sink.references(), 0u);
}

TEST_F(ComApartmentWindows, WorkHandedInGoesBeforeTheTicksStillQueued) {
    RecordingSink sink(*apartment, std::chrono::milliseconds(2));
    constexpr int32_t kTicks = 1000;
    ASSERT_EQ(startTicker(sink, kTicks), S_OK);
    ASSERT_TRUE(eventually([&] { return !sink.ticks().empty(); }));
    size_t delivered = 0;
    apartment->run([&] { delivered = sink.ticks().size(); });
    EXPECT_LT(delivered, static_cast<size_t>(kTicks));
    releaseTicker();
}

}  // namespace
