#include "AppConfig.h"

#include "WxConfigStore.h"

#include <wx/app.h>
#include <wx/fileconf.h>
#include <wx/filename.h>
#include <wx/log.h>
#include <wx/stdpaths.h>

#include <sys/stat.h>


wxConfigBase* OpenConfigStore()
{
    wxStandardPaths::Get().SetFileLayout(wxStandardPaths::FileLayout_XDG);
    const wxString path = wxFileConfig::GetLocalFileName(wxTheApp->GetAppName());

    // wxFileConfig neither creates the folder nor reports a garbled file
    // other than through log dialogs, which have no place at start-up.
    wxLogNull noDialogs;
    wxFileName::Mkdir(wxFileName(path).GetPath(), 0700, wxPATH_MKDIR_FULL);
    if (wxFileName::FileExists(path)) {
        ::chmod(path.fn_str(), S_IRUSR | S_IWUSR);
    }

    // A garbled line (an entry without a name) trips an assertion inside
    // wxFileConfig's parser, which would put up a dialog before the window
    // opens; the parser skips such lines either way.
    const wxAssertHandler_t assertHandler = wxSetAssertHandler(nullptr);
    auto* config = new wxFileConfig(wxTheApp->GetAppName(), wxTheApp->GetVendorName(), path,
                                    wxEmptyString, wxCONFIG_USE_LOCAL_FILE);
    wxSetAssertHandler(assertHandler);
    // Files written later (every Flush replaces the file) get the same mode.
    config->SetUmask(0077);
    const auto configLock = WxConfigStore::Lock();
    delete wxConfigBase::Set(config);
    return config;
}

void CloseConfigStore()
{
    const auto configLock = WxConfigStore::Lock();
    wxConfigBase::DontCreateOnDemand();
    wxLogNull quiet;
    delete wxConfigBase::Set(nullptr);
}

wxString DonationUrl()
{
    return wxString::FromUTF8(ORVANTA_DONATION_URL);
}
