#include "FakeProvider.h"
#include "HttpRequest.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

using namespace std::chrono_literals;

// A request that the server never answers ends by its time-out, or soon after
// its cancel flag is set, long before the time-out.
TEST(HttpRequest, AnUnansweredRequestEndsByTimeOutOrCancel)
{
    const struct { std::chrono::milliseconds timeout; bool cancelled; int curlCode; } cases[] = {
        {300ms, false, 28},  // CURLE_OPERATION_TIMEDOUT
        {60s, true, 42},     // CURLE_ABORTED_BY_CALLBACK
    };
    FakeProvider provider;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cancelled ? "cancelled" : "timed out");
        provider.Post("/control/reset");
        provider.Post("/control/script?endpoint=collect&action=hang");
        std::atomic<bool> cancel{false};
        auto response = std::async(std::launch::async, [&] {
            return PerformHttpRequest(provider.Url("/mp/collect"), "{}", 2, {}, c.timeout, nullptr, &cancel);
        });
        for (int i = 0; c.cancelled && i < 500 && provider.Get("/control/count?endpoint=collect") != "1"; ++i)
            std::this_thread::sleep_for(20ms);
        cancel = c.cancelled;
        ASSERT_EQ(response.wait_for(10s), std::future_status::ready);
        const HttpResponse answer = response.get();
        EXPECT_EQ(answer.curlCode, c.curlCode) << FailureDetail(answer);
        EXPECT_EQ(answer.status, 0);
        EXPECT_TRUE(answer.bodySent);
    }
}
