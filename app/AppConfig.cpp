#include "AppConfig.h"

#include "WxConfigStore.h"

#include <wx/app.h>
#include <wx/fileconf.h>
#include <wx/filename.h>
#include <wx/log.h>
#include <wx/stdpaths.h>

#include <sys/stat.h>

#include <limits>

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

namespace {

const char kPictureFolderKey[] = "/Pictures/Folder";
const char kPictureCapKey[] = "/Pictures/CapMiB";
const char kPictureKeepKey[] = "/Pictures/Keep";
constexpr uint64_t kBytesPerMiB = 1024 * 1024;

}  // namespace

PictureSettings LoadPictureSettings(wxConfigBase& config)
{
    PictureSettings settings;
    settings.folder = PictureSettings::DefaultFolder();
    wxString text;
    if (config.Read(kPictureFolderKey, &text) && text.StartsWith("/")) {
        settings.folder = text.utf8_string();
    }
    unsigned long capMiB = 0;
    if (config.Read(kPictureCapKey, &text) && text.ToULong(&capMiB) && capMiB >= 1
        && capMiB <= std::numeric_limits<uint64_t>::max() / kBytesPerMiB) {
        settings.capBytes = capMiB * kBytesPerMiB;
    }
    if (config.Read(kPictureKeepKey, &text) && (text == "false" || text == "true")) {
        settings.keepDelivered = text == "true";
    }
    return settings;
}

void SavePictureSettings(wxConfigBase& config, const PictureSettings& settings)
{
    config.Write(kPictureFolderKey, wxString::FromUTF8(settings.folder));
    config.Write(kPictureCapKey, wxString::Format("%llu", static_cast<unsigned long long>(
                                                              settings.capBytes / kBytesPerMiB)));
    config.Write(kPictureKeepKey, settings.keepDelivered ? "true" : "false");
}
