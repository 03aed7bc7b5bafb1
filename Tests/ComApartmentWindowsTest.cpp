// A component registered as "Apartment" that calls back through window messages posted to the
// thread that created it: its ticks arrive, all of them and in order, on the apartment's thread.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
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
    explicit RecordingSink(const ComApartment& apartment) : apartment_(apartment) {}

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
    std::atomic<uint32_t> references_{0};
    std::mutex mutex_;
    std::vector<int32_t> ticks_;
    bool allOnApartment_ = true;
};

TEST(ComApartmentWindows, AnApartmentComponentThatPostsToItsThreadDeliversEveryTickInOrder) {
    TempRegistry registry;
    ASSERT_EQ(registerServer(KRI_TEST_TICKER_PLUGIN), S_OK);
    const std::string model = inprocThreadingModel(kTickerClass);
    ASSERT_EQ(model, "Apartment");
    const auto apartment = ComApartment::start(ComApartment::modelFor(model));
    ASSERT_TRUE(apartment);
    RecordingSink sink(*apartment);
    constexpr int32_t kTicks = 200;
    void* object = nullptr;
    HRESULT started = E_FAIL;
    apartment->run([&] {
        if (CoCreateInstance(kTickerClass, nullptr, CLSCTX_INPROC_SERVER, IID_ITestTicker,
                             &object) >= 0) {
            started = static_cast<ITestTicker*>(object)->Start(&sink, kTicks);
        }
    });
    ASSERT_EQ(started, S_OK);
    EXPECT_TRUE(eventually([&] { return sink.ticks().size() == kTicks; }));
    apartment->run([&] { static_cast<ITestTicker*>(object)->Release(); });
    const std::vector<int32_t> ticks = sink.ticks();
    ASSERT_EQ(ticks.size(), static_cast<size_t>(kTicks));
    for (int32_t number = 0; number < kTicks; ++number) {
        EXPECT_EQ(ticks[number], number);
    }
    EXPECT_TRUE(sink.allOnApartment());
    EXPECT_EQ(sink.references(), 0u);
    unregisterServer(KRI_TEST_TICKER_PLUGIN);
}

}  // namespace
