#include <gtest/gtest.h>
#include <wx/init.h>

int main(int argc, char** argv)
{
    wxInitializer wx;  // the configuration store needs wxBase
    ::testing::InitGoogleTest(&argc, argv);
    return wx.IsOk() ? RUN_ALL_TESTS() : 1;
}
