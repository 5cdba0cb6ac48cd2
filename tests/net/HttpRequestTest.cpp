#include "FakeProvider.h"
#include "HttpRequest.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>

using namespace std::chrono_literals;

// A request that the server never answers ends by its time-out, or soon after
// its cancel flag is set, long before the time-out.
TEST(HttpRequest, AnUnansweredRequestEndsByTimeOutOrFlag)
{
    const struct { const char* name; std::chrono::milliseconds timeout; bool viaFlag; int curlCode; } cases[] = {
        {"time-out", 300ms, false, 28},  // CURLE_OPERATION_TIMEDOUT
        {"flag", 60s, true, 42},         // CURLE_ABORTED_BY_CALLBACK
    };
    FakeProvider provider;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        provider.Post("/control/reset");
        provider.Post("/control/script?endpoint=collect&action=hang");
        std::atomic<bool> cancel{false};
        const std::string body = "{}";
        auto response = std::async(std::launch::async, [&] {
            return PerformHttpRequest(provider.Url("/mp/collect?measurement_id=m"), body.data(), body.size(),
                                      {"Content-Type: application/json"}, c.timeout, nullptr, &cancel);
        });
        if (c.viaFlag) {
            for (int i = 0; i < 500 && provider.Get("/control/count?endpoint=collect") != "1"; ++i)
                std::this_thread::sleep_for(20ms);
            cancel = true;
        }
        ASSERT_EQ(response.wait_for(10s), std::future_status::ready);
        const HttpResponse answer = response.get();
        EXPECT_EQ(answer.curlCode, c.curlCode) << FailureDetail(answer);
        EXPECT_EQ(answer.status, 0);
        EXPECT_TRUE(answer.bodySent);
    }
}
