#include <curl/curl.h>
#include <gtest/gtest.h>
#include <wx/init.h>

int main(int argc, char** argv)
{
    wxInitializer wx;
    if (!wx.IsOk())
        return 1;
    // The static request helpers are tested before any client has run the
    // process-wide initialisation.
    curl_global_init(CURL_GLOBAL_ALL);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
