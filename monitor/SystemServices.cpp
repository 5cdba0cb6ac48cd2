// The real counterparts of the core's dependencies.
#include "MonitorCore.h"

#include "MainLoopTimers.h"
#include "PowerNotifications.h"
#include "SleepInhibitor.h"

namespace {

class DecoderSource : public StreamSource {
public:
    void Start(std::string url, FrameCallback onFrame, StatusCallback onStatus,
               EndedCallback onEnded) override
    {
        decoder.Start(std::move(url), std::move(onFrame), std::move(onStatus), std::move(onEnded));
    }
    void Stop() override { decoder.Stop(); }
    bool IsRunning() const override { return decoder.IsRunning(); }

private:
    RtspStreamDecoder decoder;
};

class MainLoopScheduler : public Scheduler {
public:
    Handle After(std::chrono::milliseconds delay, std::function<void()> call) override
    {
        return timers.After(delay, std::move(call));
    }
    void Cancel(Handle handle) override { timers.Cancel(handle); }

private:
    MainLoopTimers timers;
};

template <class T>
class Held : public Holding {
public:
    explicit Held(std::unique_ptr<T> held) : held(std::move(held)) {}

private:
    std::unique_ptr<T> held;
};

template <class T>
std::unique_ptr<Holding> Hold(std::unique_ptr<T> held)
{
    return held ? std::make_unique<Held<T>>(std::move(held)) : nullptr;
}

}  // namespace

std::unique_ptr<StreamSource> MakeRtspStreamSource()
{
    return std::make_unique<DecoderSource>();
}

std::unique_ptr<Scheduler> MakeMainLoopScheduler()
{
    return std::make_unique<MainLoopScheduler>();
}

std::unique_ptr<Holding> TakeIdleSleepLock()
{
    return Hold(IdleSleepAssertion::Take("Orvanta", "Orvanta stream monitoring"));
}

std::unique_ptr<Holding> RegisterForWake(std::function<void()> onWake)
{
    return Hold(SystemPowerNotifications::Register([onWake = std::move(onWake)](PowerEvent event) {
        if (event == PowerEvent::HasPoweredOn) {
            onWake();
        }
    }));
}
