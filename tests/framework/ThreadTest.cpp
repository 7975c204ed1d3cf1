// The framework's cross-thread paths: render notifications changed while another thread
// renders, parameters written while kernels read them, and listeners removed while another
// thread notifies.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "AUHostServices.h"
#include "TestUnit.h"

namespace fwtest {
namespace {

struct NotifyCounts {
    std::atomic<int> pre{0}, post{0};
    static OSStatus Callback(void* refCon, AudioUnitRenderActionFlags* flags, const AudioTimeStamp*,
                             UInt32, UInt32, AudioBufferList*) {
        auto* counts = static_cast<NotifyCounts*>(refCon);
        ((*flags & kAudioUnitRenderAction_PreRender) != 0 ? counts->pre : counts->post) += 1;
        return noErr;
    }
};

class FrameworkThreads : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_OK(ConnectSource(host.Get(), source));
        ASSERT_OK(AudioUnitInitialize(host.Get()));
    }

    OSStatus RenderOnce() { return RenderAt(host.Get(), sampleTime, 256, out.List()); }

    HostedUnit host;
    InputSource source;
    TestBuffers out{2, 256};
    Float64 sampleTime = 0.0;
};

TEST_F(FrameworkThreads, NotificationsAddedAndRemovedFromAnotherThreadApplyAtTheNextRender) {
    NotifyCounts stay, churn;
    std::atomic<bool> added{false};
    std::thread adder([&] {
        ASSERT_OK(AudioUnitAddRenderNotify(host.Get(), &NotifyCounts::Callback, &stay));
        added.store(true);
        for (int i = 0; i < 500; ++i) {
            AudioUnitAddRenderNotify(host.Get(), &NotifyCounts::Callback, &churn);
            AudioUnitRemoveRenderNotify(host.Get(), &NotifyCounts::Callback, &churn);
        }
    });
    int rendersAfterAdd = 0;
    for (int i = 0; i < 400; ++i) {
        rendersAfterAdd += added.load() ? 1 : 0;
        ASSERT_OK(RenderOnce());
    }
    adder.join();
    ASSERT_OK(RenderOnce());
    ++rendersAfterAdd;
    // Every render after the addition was seen, before and after, and pairs match.
    EXPECT_GE(stay.pre.load(), rendersAfterAdd);
    EXPECT_EQ(stay.pre.load(), stay.post.load());
    EXPECT_EQ(churn.pre.load(), churn.post.load());
    // The churning notification ended removed.
    const int churned = churn.pre.load();
    ASSERT_OK(RenderOnce());
    EXPECT_EQ(churn.pre.load(), churned);
}

TEST_F(FrameworkThreads, ParameterWritesDuringRendersAreSeenWhole) {
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; !done.load(); ++i) {
            host.SetParam(kParamGain, i % 2 == 0 ? 0.5f : 1.5f);
        }
    });
    for (int i = 0; i < 300; ++i) {
        host.Unit().ClearRecords();
        ASSERT_OK(RenderOnce());
        const TestUnit& unit = host.Unit();
        for (std::size_t k = 0; k < unit.numProcessCalls; ++k) {
            const Float32 gain = unit.processCalls[k].gain;
            ASSERT_TRUE(gain == 0.5f || gain == 1.5f || gain == 1.0f) << gain;
        }
    }
    done.store(true);
    writer.join();
}

struct GuardedListener {
    std::atomic<bool> removed{false};
    std::atomic<int> callsAfterRemoval{0}, calls{0};
    static void Callback(void* refCon, void*, const AudioUnitParameter*, AudioUnitParameterValue) {
        auto* self = static_cast<GuardedListener*>(refCon);
        self->calls.fetch_add(1);
        self->callsAfterRemoval += self->removed.load() ? 1 : 0;
    }
};

TEST_F(FrameworkThreads, RemovedListenersAreNotCalledOnceRemovalReturns) {
    const AudioUnitParameter gain{host.Get(), kParamGain, kAudioUnitScope_Global, 0};
    std::atomic<bool> done{false};
    std::thread notifier([&] {
        for (int i = 0; !done.load(); ++i) {
            AUParameterSet(nullptr, nullptr, &gain, Float32(i % 7), 0);
        }
    });
    int totalCalls = 0;
    for (int round = 0; round < 200; ++round) {
        GuardedListener guarded;
        AUParameterListenerRef listener = nullptr;
        ASSERT_OK(AUListenerCreate(&GuardedListener::Callback, &guarded, &listener));
        ASSERT_OK(AUListenerAddParameter(listener, nullptr, &gain));
        while (guarded.calls.load() == 0) {
            std::this_thread::yield();
        }
        ASSERT_OK(AUListenerRemoveParameter(listener, nullptr, &gain));
        guarded.removed.store(true);
        std::this_thread::yield();
        ASSERT_OK(AUListenerDispose(listener));
        EXPECT_EQ(guarded.callsAfterRemoval.load(), 0);
        totalCalls += guarded.calls.load();
    }
    done.store(true);
    notifier.join();
    EXPECT_GE(totalCalls, 200);
}

} // namespace
} // namespace fwtest
