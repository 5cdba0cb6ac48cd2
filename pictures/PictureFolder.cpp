// The thin picture folder the window uses: a writer thread, a waiting queue
// with its state file and no thread of its own, and the courier (the one
// delivery thread), wired together here.

#include "PictureFolder.h"

#include "Courier.h"
#include "PictureWriter.h"
#include "UserFolders.h"
#include "WaitingQueue.h"

#include <cstdio>
#include <mutex>
#include <utility>

namespace {

std::string NormalFolder(std::string folder)
{
    if (folder.empty())
        folder = PictureSettings::DefaultFolder();
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    return folder;
}

pictures::WriterFolder ForWriter(const PictureSettings& settings)
{
    return pictures::WriterFolder{settings.folder, settings.IsDefaultFolder(), settings.capBytes};
}

pictures::CourierFolder ForCourier(const PictureSettings& settings)
{
    return pictures::CourierFolder{settings.folder, settings.IsDefaultFolder(), settings.keepDelivered};
}

}  // namespace

std::string PictureSettings::DefaultFolder()
{
    return DesktopPicturesFolder() + "/Orvanta";
}

bool PictureSettings::IsDefaultFolder() const
{
    return folder.empty() || NormalFolder(folder) == NormalFolder(DefaultFolder());
}

class PictureFolder::Impl {
public:
    Impl(PictureSettings initial, PictureSender send, PictureEvents events, PictureTimings timings,
         std::shared_ptr<DeliveryClock> clock)
        : settings(Normal(std::move(initial))),
          queue(std::move(events.waitingChanged)),
          courier(queue, std::move(send), events.status, [this] { writer.CheckCap(); }, timings, std::move(clock),
                  ForCourier(settings)),
          writer(queue,
                 pictures::PictureWriter::Hooks{events.status, std::move(events.delivering),
                                                [this] { return courier.IsDriveConnected(); },
                                                [this] { courier.Wake(); }},
                 ForWriter(settings), timings.stopWithin)
    {
        courier.Start();
        writer.Start();
    }

    ~Impl()
    {
        writer.RequestStop();
        courier.RequestStop();
        writer.Stop();
        courier.Stop();
        if (const std::size_t held = queue.HeldCount()) {
            std::fprintf(stderr, held == 1 ? "%zu picture held for Google Drive was lost at exit\n"
                                           : "%zu pictures held for Google Drive were lost at exit\n",
                         held);
        }
    }

    static PictureSettings Normal(PictureSettings settings)
    {
        settings.folder = NormalFolder(settings.folder);
        return settings;
    }

    mutable std::mutex mutex;  // guards `settings`
    PictureSettings settings;
    pictures::WaitingQueue queue;
    pictures::Courier courier;
    pictures::PictureWriter writer;
};

PictureFolder::PictureFolder(PictureSettings settings, PictureSender send, PictureEvents events,
                             PictureTimings timings, std::shared_ptr<DeliveryClock> clock)
    : impl(std::make_unique<Impl>(std::move(settings), std::move(send), std::move(events), timings,
                                  std::move(clock)))
{
}

PictureFolder::~PictureFolder() = default;

void PictureFolder::Keep(std::unique_ptr<pictures::PictureSource> picture, std::string name, std::string camera,
                         bool waitsForDrive)
{
    impl->writer.Keep(pictures::Frame{std::move(picture), std::move(name), std::move(camera), waitsForDrive});
}

void PictureFolder::SetDriveConnected(bool connected)
{
    impl->courier.SetDriveConnected(connected);
}

void PictureFolder::Apply(PictureSettings settings)
{
    settings = Impl::Normal(std::move(settings));
    {
        std::lock_guard<std::mutex> lock(impl->mutex);
        impl->settings = settings;
    }
    impl->writer.Apply(ForWriter(settings));
    impl->courier.Apply(ForCourier(settings));
}

PictureSettings PictureFolder::Settings() const
{
    std::lock_guard<std::mutex> lock(impl->mutex);
    return impl->settings;
}

std::size_t PictureFolder::WaitingCount() const
{
    return impl->queue.WaitingCount();
}
