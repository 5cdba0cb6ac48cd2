#include "FakeProvider.h"
#include "GoogleAnalyticsClient.h"
#include "StdoutCapture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

TEST(Analytics, EventPostsAndTheirOutcomes)
{
    FakeProvider provider;
    const struct { const char* name; const char* script; const char* outcome; } cases[] = {
        {"app_open", "", "sent successfully"},
        {"say \"hi\"\\ \n\t\x01", "", "sent successfully"},  // escaped for JSON, the control byte raw
        {"app_close", "action=status&status=400", "failed: curl=0 status=400"},
        {"app_close", "action=status&status=500", "failed: curl=0 status=500"},
        {"app_close", "action=close", "failed: curl=52 status=0"},
        {"app_close", "refused", "failed: curl=7 status=0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + c.script);
        provider.Post("/control/reset");
        provider.Post("/control/script?endpoint=collect&" + std::string(c.script));
        GoogleAnalyticsClient client(std::string(c.script) == "refused" ? "http://127.0.0.1:9/mp/collect"
                                                                         : provider.Url("/mp/collect"));
        client.Configure("G-TEST&x=1 \xc3\xbc", "test-secret", "123.456");
        StdoutCapture output;
        client.TrackEventSync(c.name);
        EXPECT_NE(output.Take().find(c.outcome), std::string::npos);
        if (std::string(c.script) == "refused")
            continue;
        const std::string event = "/control/report?endpoint=collect&field=";
        EXPECT_EQ(provider.Get(event + "json.events.0.name"), c.name);
        EXPECT_EQ(provider.Get(event + "json.client_id"), "123.456");
        EXPECT_EQ(provider.Get(event + "query.measurement_id"), "G-TEST&x=1 \xc3\xbc");
        EXPECT_EQ(provider.Get(event + "query.api_secret"), "test-secret");
    }
}

TEST(Analytics, AsynchronousEventArrives)
{
    FakeProvider provider;
    GoogleAnalyticsClient client(provider.Url("/mp/collect"));
    client.Configure("G-TEST", "test-secret", "1.2");
    client.TrackEvent("app_open");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (provider.Get("/control/count?endpoint=collect") != "1" && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(provider.Get("/control/report?endpoint=collect&field=json.events.0.params.session_id").empty(), false);
}

TEST(Analytics, NothingIsSentWithoutAClientId)
{
    FakeProvider provider;
    GoogleAnalyticsClient client(provider.Url("/mp/collect"));
    client.Configure("G-TEST", "test-secret", "");
    StdoutCapture output;
    client.TrackEventSync("app_close");
    EXPECT_EQ(output.Take() + provider.Get("/control/count?endpoint=collect"), "0");
}
