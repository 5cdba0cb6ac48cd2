#pragma once

#include "VideoFrame.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVPacket;

// Receives one decoded picture, never empty. Called on the decoder thread; it
// must not wait for the GUI thread, since Stop() joins the decoder thread. The
// frame may be kept and handed to other threads: the decoder never writes into
// a picture it has handed out.
using FrameCallback = std::function<void(VideoFrame frame)>;

// Receives one line of UTF-8 status text without a trailing newline. Called on
// the decoder thread, under the same rule as FrameCallback.
using StatusCallback = std::function<void(const std::string& text)>;

// Told that the decoder thread ended by itself: the connection failed, or the
// stream ended or broke. Called once on the decoder thread as its very last
// act, after the last FrameCallback and StatusCallback; never when Stop() was
// requested before the thread ended. Under the same rule as FrameCallback.
using EndedCallback = std::function<void()>;

// Pulls one RTSP video stream on a thread of its own and hands at most one
// decoded picture per 100 ms, by reference and unconverted, to a
// FrameCallback; progress and every failure go as one line to a
// StatusCallback.
//
// One connection attempt per Start(): no retry, no reconnect. When the
// connection fails or the stream ends, the thread reports why, tells the
// EndedCallback and ends, but stays held (IsRunning() true) until Stop()
// joins it.
//
// The public operations belong to one controlling thread (the GUI thread) and
// are never called concurrently. The only state shared with the decoder
// thread is the stop flag.
class RtspStreamDecoder {
public:
    RtspStreamDecoder();
    // Stops and joins the decoder thread before the object goes.
    ~RtspStreamDecoder();

    RtspStreamDecoder(const RtspStreamDecoder&) = delete;
    RtspStreamDecoder& operator=(const RtspStreamDecoder&) = delete;
    RtspStreamDecoder(RtspStreamDecoder&&) = delete;
    RtspStreamDecoder& operator=(RtspStreamDecoder&&) = delete;

    // Starts a decoder thread for url unless one is still held, also one that
    // has already ended by itself; then it does nothing and reports nothing.
    // Throws std::system_error when no thread can be created.
    void Start(std::string url, FrameCallback onFrame, StatusCallback onStatus,
               EndedCallback onEnded = EndedCallback());

    // Requests the end of the decoder thread and joins it. Blocking FFmpeg
    // calls are cut short, so this waits at most for the callback in progress
    // and FFmpeg's next look at the stop flag. Returns at once when no thread
    // is held.
    void Stop();

    // True while a decoder thread is held, whether or not it still runs.
    bool IsRunning() const;

private:
    // The FFmpeg state of one connection attempt. Lives on the decoder
    // thread's stack for exactly one attempt and is never shared; it owns
    // every handle below and releases them in a fixed order.
    struct DecoderContext {
        DecoderContext();
        ~DecoderContext();
        DecoderContext(const DecoderContext&) = delete;
        DecoderContext& operator=(const DecoderContext&) = delete;

        AVFormatContext* formatContext = nullptr;
        AVCodecContext* codecContext = nullptr;
        AVFrame* frame = nullptr;
        AVPacket* packet = nullptr;
        VideoFrameMaker frameMaker;
        int videoStreamIndex = -1;
        // When a frame was last handed out; starts one second in the past so
        // that the first picture passes at once.
        std::chrono::steady_clock::time_point lastEmitTime;
        // Set once the "Receiving frames: " line has gone out.
        bool formatReported = false;
    };

    // FFmpeg's interrupt callback: non-zero (abort) once a stop is requested.
    // Called by FFmpeg from inside its blocking calls on the decoder thread.
    static int InterruptCallback(void* opaque);

    // Decoder thread body; takes its arguments by value so they live in the
    // thread's own storage.
    void Run(std::string url, FrameCallback onFrame, StatusCallback onStatus, EndedCallback onEnded);
    // One connection attempt; every FFmpeg handle and both callbacks are gone
    // when it returns.
    void DecodeLoop(std::string url, FrameCallback onFrame, StatusCallback onStatus);

    bool OpenInput(DecoderContext& context, const std::string& url, const StatusCallback& onStatus);
    bool OpenVideoDecoder(DecoderContext& context, const StatusCallback& onStatus);
    bool AllocateFrameBuffers(DecoderContext& context, const StatusCallback& onStatus);

    void ReadPackets(DecoderContext& context, const FrameCallback& onFrame, const StatusCallback& onStatus);
    // True: go on reading packets; false: end the packet loop.
    bool ReceiveDecodedFrames(DecoderContext& context, const FrameCallback& onFrame,
                              const StatusCallback& onStatus);
    // Hands the decoded picture out, but only when the last frame went out at
    // least 100 ms ago. False, reported, when the picture can be neither held
    // nor converted.
    bool EmitFrameIfDue(DecoderContext& context, const FrameCallback& onFrame, const StatusCallback& onStatus);

    bool StopRequested() const;

    // Touched by the controlling thread only.
    std::thread worker;
    // Written by the controlling thread, read by the decoder thread and by
    // FFmpeg through InterruptCallback; sequentially consistent throughout.
    std::atomic<bool> stopRequested;
};
