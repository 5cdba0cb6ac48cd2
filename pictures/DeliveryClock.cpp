#include "DeliveryClock.h"

#include <condition_variable>
#include <mutex>

namespace {

class SteadyDeliveryClock : public DeliveryClock {
public:
    TimePoint Now() override { return std::chrono::steady_clock::now(); }

    void WaitUntil(TimePoint until) override
    {
        std::unique_lock<std::mutex> lock(mutex);
        woken.wait_until(lock, until, [this] { return isWoken; });
        isWoken = false;
    }

    void Wake() override
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            isWoken = true;
        }
        woken.notify_all();
    }

private:
    std::mutex mutex;
    std::condition_variable woken;
    bool isWoken = false;
};

}  // namespace

std::shared_ptr<DeliveryClock> MakeSteadyDeliveryClock()
{
    return std::make_shared<SteadyDeliveryClock>();
}
