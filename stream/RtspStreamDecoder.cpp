#include "RtspStreamDecoder.h"

#include "UrlMasking.h"

#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/pixdesc.h>
}

namespace {

// FFmpeg 5 renamed the RTSP socket I/O time-out from "stimeout" to "timeout";
// an unknown key is silently dropped, which would leave reads unbounded.
#if LIBAVFORMAT_VERSION_MAJOR < 59
constexpr const char* kSocketTimeoutOption = "stimeout";
#else
constexpr const char* kSocketTimeoutOption = "timeout";
#endif

constexpr auto kMinEmitInterval = std::chrono::milliseconds(100);

std::string ErrorText(int code)
{
    char buffer[64];
    std::memset(buffer, 0, sizeof buffer);
    av_strerror(code, buffer, sizeof buffer);
    buffer[sizeof buffer - 1] = '\0';
    return buffer;
}

}  // namespace

RtspStreamDecoder::DecoderContext::DecoderContext()
    : lastEmitTime(std::chrono::steady_clock::now() - std::chrono::seconds(1))
{
}

RtspStreamDecoder::DecoderContext::~DecoderContext()
{
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&codecContext);
    avformat_close_input(&formatContext);
}

RtspStreamDecoder::RtspStreamDecoder()
    : worker(), stopRequested(false)
{
    avformat_network_init();
}

RtspStreamDecoder::~RtspStreamDecoder()
{
    Stop();
}

void RtspStreamDecoder::Start(std::string url, FrameCallback onFrame, StatusCallback onStatus,
                              EndedCallback onEnded)
{
    if (worker.joinable()) {
        return;
    }
    stopRequested = false;
    worker = std::thread(&RtspStreamDecoder::Run, this, std::move(url), std::move(onFrame),
                         std::move(onStatus), std::move(onEnded));
}

void RtspStreamDecoder::Stop()
{
    stopRequested = true;
    if (worker.joinable()) {
        worker.join();
    }
}

bool RtspStreamDecoder::IsRunning() const
{
    return worker.joinable();
}

bool RtspStreamDecoder::StopRequested() const
{
    return stopRequested.load();
}

int RtspStreamDecoder::InterruptCallback(void* opaque)
{
    return static_cast<const RtspStreamDecoder*>(opaque)->StopRequested() ? 1 : 0;
}

void RtspStreamDecoder::Run(std::string url, FrameCallback onFrame, StatusCallback onStatus,
                            EndedCallback onEnded)
{
    DecodeLoop(std::move(url), std::move(onFrame), std::move(onStatus));
    if (onEnded && !StopRequested()) {
        onEnded();
    }
}

void RtspStreamDecoder::DecodeLoop(std::string url, FrameCallback onFrame, StatusCallback onStatus)
{
    DecoderContext context;
    if (!OpenInput(context, url, onStatus) || !OpenVideoDecoder(context, onStatus) ||
        !AllocateFrameBuffers(context, onStatus)) {
        return;
    }
    // The URL may carry the camera's password; the status line must not.
    onStatus("Streaming " + std::to_string(context.codecContext->width) + "x" +
             std::to_string(context.codecContext->height) + " from " + MaskUrlPassword(url));
    ReadPackets(context, onFrame, onStatus);
}

bool RtspStreamDecoder::OpenInput(DecoderContext& context, const std::string& url, const StatusCallback& onStatus)
{
    context.formatContext = avformat_alloc_context();
    if (context.formatContext == nullptr) {
        onStatus("Failed to allocate FFmpeg format context.");
        return false;
    }
    context.formatContext->interrupt_callback.callback = &RtspStreamDecoder::InterruptCallback;
    context.formatContext->interrupt_callback.opaque = this;

    AVDictionary* options = nullptr;
    av_dict_set(&options, "rtsp_transport", "tcp", 0);
    av_dict_set(&options, kSocketTimeoutOption, "5000000", 0);
    av_dict_set(&options, "buffer_size", "1024000", 0);
    const int openResult = avformat_open_input(&context.formatContext, url.c_str(), nullptr, &options);
    av_dict_free(&options);
    if (openResult < 0) {
        onStatus("Unable to open stream: " + ErrorText(openResult));
        return false;
    }

    const int infoResult = avformat_find_stream_info(context.formatContext, nullptr);
    if (infoResult < 0) {
        onStatus("Unable to read stream info: " + ErrorText(infoResult));
        return false;
    }

    context.videoStreamIndex = av_find_best_stream(context.formatContext, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (context.videoStreamIndex < 0) {
        onStatus("No video stream found in RTSP source.");
        return false;
    }
    return true;
}

bool RtspStreamDecoder::OpenVideoDecoder(DecoderContext& context, const StatusCallback& onStatus)
{
    const AVCodecParameters* parameters = context.formatContext->streams[context.videoStreamIndex]->codecpar;
    const AVCodec* decoder = avcodec_find_decoder(parameters->codec_id);
    if (decoder == nullptr) {
        onStatus("No suitable FFmpeg decoder found for the video stream.");
        return false;
    }
    context.codecContext = avcodec_alloc_context3(decoder);
    if (context.codecContext == nullptr) {
        onStatus("Failed to allocate FFmpeg codec context.");
        return false;
    }
    const int parametersResult = avcodec_parameters_to_context(context.codecContext, parameters);
    if (parametersResult < 0) {
        onStatus("Unable to load codec parameters: " + ErrorText(parametersResult));
        return false;
    }
    const int openResult = avcodec_open2(context.codecContext, decoder, nullptr);
    if (openResult < 0) {
        onStatus("Unable to open decoder: " + ErrorText(openResult));
        return false;
    }
    return true;
}

bool RtspStreamDecoder::AllocateFrameBuffers(DecoderContext& context, const StatusCallback& onStatus)
{
    context.frame = av_frame_alloc();
    context.packet = av_packet_alloc();
    if (context.frame == nullptr || context.packet == nullptr) {
        onStatus("Failed to allocate FFmpeg frame buffers.");
        return false;
    }
    return true;
}

void RtspStreamDecoder::ReadPackets(DecoderContext& context, const FrameCallback& onFrame,
                                    const StatusCallback& onStatus)
{
    while (!StopRequested()) {
        const int readResult = av_read_frame(context.formatContext, context.packet);
        if (readResult < 0) {
            // Errors caused by the interrupt callback are expected and not shown.
            if (!StopRequested()) {
                onStatus("Stream read stopped: " + ErrorText(readResult));
            }
            return;
        }
        if (context.packet->stream_index != context.videoStreamIndex) {
            av_packet_unref(context.packet);
            continue;
        }
        const int sendResult = avcodec_send_packet(context.codecContext, context.packet);
        av_packet_unref(context.packet);
        if (sendResult < 0) {
            if (StopRequested()) {
                return;
            }
            onStatus("Decoder send failed: " + ErrorText(sendResult));
            continue;
        }
        if (!ReceiveDecodedFrames(context, onFrame, onStatus)) {
            return;
        }
    }
}

bool RtspStreamDecoder::ReceiveDecodedFrames(DecoderContext& context, const FrameCallback& onFrame,
                                             const StatusCallback& onStatus)
{
    while (!StopRequested()) {
        const int receiveResult = avcodec_receive_frame(context.codecContext, context.frame);
        if (receiveResult == AVERROR(EAGAIN) || receiveResult == AVERROR_EOF) {
            return true;
        }
        if (receiveResult < 0) {
            if (!StopRequested()) {
                onStatus("Decoder receive failed: " + ErrorText(receiveResult));
            }
            return false;
        }
        const bool emitted = EmitFrameIfDue(context, onFrame, onStatus);
        av_frame_unref(context.frame);
        if (!emitted) {
            return false;
        }
    }
    return true;
}

bool RtspStreamDecoder::EmitFrameIfDue(DecoderContext& context, const FrameCallback& onFrame,
                                       const StatusCallback& onStatus)
{
    const AVFrame* picture = context.frame;
    if (!context.formatReported) {
        context.formatReported = true;
        const char* formatName = av_get_pix_fmt_name(static_cast<AVPixelFormat>(picture->format));
        onStatus("Receiving frames: " + std::to_string(picture->width) + "x" + std::to_string(picture->height) +
                 " " + (formatName != nullptr ? formatName : "unknown"));
    }

    const auto now = std::chrono::steady_clock::now();
    if (now - context.lastEmitTime < kMinEmitInterval) {
        return true;
    }
    VideoFrame frame = context.frameMaker.Make(context.frame);
    if (frame.IsEmpty()) {
        onStatus("Failed to initialize FFmpeg scaling context.");
        return false;
    }
    onFrame(std::move(frame));
    // Measured from before the callback, so time spent in it counts towards
    // the next interval.
    context.lastEmitTime = now;
    return true;
}
