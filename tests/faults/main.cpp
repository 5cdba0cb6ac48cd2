#include <gtest/gtest.h>
#include <wx/init.h>

int main(int argc, char** argv)
{
    // The tests read the configuration file back through wxFileConfig.
    wxInitializer wx;
    if (!wx.IsOk()) {
        return 1;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
