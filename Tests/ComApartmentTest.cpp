// The apartment thread: which apartment a threading model gets, and work handed in from several
// threads runs on the apartment's one thread, in order, with COM initialised there.
#include <gtest/gtest.h>

#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "Platform/ComApartment.h"
#include "Platform/ComRuntime.h"
#include "TempRegistry.h"

using platform::ComApartment;

namespace {

TEST(ComApartment, FreeAndBothGetTheMultithreadedApartmentAndAnyOtherModelAThreadOfItsOwn) {
    using Model = ComApartment::Model;
    EXPECT_EQ(ComApartment::modelFor("Free"), Model::kMultithreaded);
    EXPECT_EQ(ComApartment::modelFor("both"), Model::kMultithreaded);
    EXPECT_EQ(ComApartment::modelFor("Apartment"), Model::kSingleThreaded);
    EXPECT_EQ(ComApartment::modelFor(""), Model::kSingleThreaded);
    EXPECT_EQ(ComApartment::modelFor("Neutral"), Model::kSingleThreaded);
    EXPECT_EQ(ComApartment::modelFor("Bothx"), Model::kSingleThreaded);
}

TEST(ComApartment, WorkFromSeveralThreadsRunsOnTheApartmentThreadInTheOrderOfEachCaller) {
    for (const auto model :
         {ComApartment::Model::kSingleThreaded, ComApartment::Model::kMultithreaded}) {
        const auto apartment = ComApartment::start(model);
        ASSERT_TRUE(apartment);
        std::mutex mutex;
        std::vector<std::vector<int>> seen(4);
        std::vector<std::thread> callers;
        bool allOnApartment = true;
        for (int caller = 0; caller < 4; ++caller) {
            callers.emplace_back([&, caller] {
                for (int i = 0; i < 50; ++i) {
                    apartment->run([&] {
                        // A nested run on the apartment's thread runs at once.
                        apartment->run([&] {
                            std::lock_guard lock(mutex);
                            allOnApartment = allOnApartment && apartment->isApartmentThread();
                            seen[caller].push_back(i);
                        });
                    });
                }
            });
        }
        for (std::thread& caller : callers) {
            caller.join();
        }
        EXPECT_TRUE(allOnApartment);
        EXPECT_FALSE(apartment->isApartmentThread());
        for (const std::vector<int>& numbers : seen) {
            ASSERT_EQ(numbers.size(), 50u);
            for (int i = 0; i < 50; ++i) {
                EXPECT_EQ(numbers[i], i);
            }
        }
    }
}

TEST(ComApartment, ComIsInitialisedOnTheApartmentThreadAndAFailureComesBackToTheCaller) {
    TempRegistry registry;
    const auto apartment = ComApartment::start(ComApartment::Model::kSingleThreaded);
    ASSERT_TRUE(apartment);
    constexpr platform::CLSID kUnregistered = {
        0x5B7E3AFF, 0x4C2D, 0x4E8F, {0x9A, 0x61, 0x0D, 0x2B, 0x3C, 0x4E, 0x5F, 0x60}};
    platform::HRESULT created = platform::S_OK;
    void* object = nullptr;
    apartment->run([&] {
        created = platform::CoCreateInstance(kUnregistered, nullptr, platform::CLSCTX_INPROC_SERVER,
                                             platform::IID_IUnknown, &object);
    });
    EXPECT_EQ(created, platform::REGDB_E_CLASSNOTREG);
    EXPECT_EQ(object, nullptr);
    EXPECT_THROW(apartment->run([] { throw std::runtime_error("inside"); }), std::runtime_error);
    int after = 0;
    apartment->run([&] { after = 1; });
    EXPECT_EQ(after, 1);
}

}  // namespace
