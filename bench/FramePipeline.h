#pragma once

#include "MotionDetector.h"
#include "RtspStreamDecoder.h"

#include <wx/gdicmn.h>
#include <wx/image.h>

#include <cstdint>
#include <mutex>
#include <pthread.h>
#include <string>
#include <vector>

// The window's per-frame work without the window: the real decoder hands each
// frame to the same steps HandleDecodedFrame and UpdatePreview take (wrap
// without copying, detect and annotate, motion status change, then the
// preview's image creation, scaling and letterbox composition), all on the
// decoder thread. No Drive access is held, so no upload is started, and the
// composed image is kept as the control would keep its bitmap.
//
// Start, Stop and the window calls belong to one controlling thread.
class FramePipeline {
public:
    // Per-frame timings in milliseconds, from entering the frame callback.
    struct FrameTiming {
        double detectMs;
        double composeMs;
        double totalMs;
    };

    struct Window {
        long framesHandled = 0;
        long motionFrames = 0;
        long statusChanges = 0;
        std::vector<FrameTiming> timings;
    };

    // timingCapacity: samples kept per window without growing storage on the
    // decoder thread (later samples are counted but not timed).
    FramePipeline(const wxSize& previewTarget, std::size_t timingCapacity);
    ~FramePipeline();
    FramePipeline(const FramePipeline&) = delete;
    FramePipeline& operator=(const FramePipeline&) = delete;

    void Start(const std::string& url);
    void Stop();

    // Frames handled since Start.
    long FramesHandled();
    // The last line the decoder reported, for a run that failed.
    std::string LastStatus();

    // Starts a measuring window: counters and timings start over.
    void BeginWindow();
    // What the window saw; the pipeline goes on running.
    Window EndWindow();

    // CPU seconds of the decoder thread alone (frames are handled on it), or
    // a negative value before the first frame. Call between Start and Stop.
    double DecoderThreadCpuSeconds();

private:
    void HandleDecodedFrame(std::vector<uint8_t> frame, int width, int height);

    RtspStreamDecoder decoder;
    // Decoder thread only.
    MotionDetector motionDetector;
    bool motionActive = false;
    wxSize previewTarget;
    wxImage shownPreview;

    std::mutex mutex;
    // Guarded by mutex.
    std::size_t timingCapacity;
    Window window;
    long framesSinceStart = 0;
    std::string lastStatus;
    bool haveDecoderThread = false;
    pthread_t decoderThread{};
};
