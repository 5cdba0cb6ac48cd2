#include "WxConfigStore.h"

#include <wx/config.h>
#include <wx/log.h>

std::unique_lock<std::mutex> WxConfigStore::Lock()
{
    // One lock for the one global store, whichever object reaches it.
    static std::mutex configStoreMutex;
    return std::unique_lock<std::mutex>(configStoreMutex);
}

std::optional<std::string> WxConfigStore::Read(const std::string& key) const
{
    const auto lock = Lock();
    wxConfigBase* config = wxConfigBase::Get();
    wxString value;
    if (config == nullptr || !config->Read(wxString::FromUTF8(key), &value))
        return std::nullopt;
    return value.utf8_string();
}

bool WxConfigStore::Write(const std::vector<Change>& changes)
{
    const auto lock = Lock();
    wxConfigBase* config = wxConfigBase::Get();
    if (config == nullptr)
        return false;
    for (const auto& [key, value] : changes) {
        if (value)
            config->Write(wxString::FromUTF8(key), wxString::FromUTF8(*value));
        else
            config->DeleteEntry(wxString::FromUTF8(key), false);
    }
    // A file that cannot be written is no reason for a dialog: the caller is told.
    wxLogNull quiet;
    return config->Flush(false);
}

std::vector<std::string> WxConfigStore::Groups(const std::string& group) const
{
    const auto lock = Lock();
    std::vector<std::string> names;
    wxConfigBase* config = wxConfigBase::Get();
    if (config == nullptr || !config->HasGroup(wxString::FromUTF8(group)))
        return names;
    const wxString previous = config->GetPath();
    config->SetPath(wxString::FromUTF8(group));
    wxString name;
    long cookie = 0;
    for (bool more = config->GetFirstGroup(name, cookie); more; more = config->GetNextGroup(name, cookie))
        names.push_back(name.utf8_string());
    config->SetPath(previous);
    return names;
}
