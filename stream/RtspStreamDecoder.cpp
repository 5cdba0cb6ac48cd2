#include "RtspStreamDecoder.h"

#include "UrlMasking.h"

#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
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

// libswscale's SIMD converters write RGB in blocks of pixels: in a row with no
// room for a whole last block they leave the right-most pixels unconverted
// (with FFmpeg 5.1 on x86-64, widths of 2, 4 or 6 past a multiple of 16), and
// their stores may run past the end of the last row. The RGB picture therefore
// gets rows padded to whole 16-pixel blocks, aligned for vector stores, and
// slack after the last row, as FFmpeg's own frame pools have; frames are
// copied out without the padding.
constexpr int kConverterBlockPixels = 16;
constexpr int kRgbRowAlignment = 64;
constexpr std::size_t kRgbTailSlackBytes = 64;

int ConverterRowPixels(int width)
{
    return (width + kConverterBlockPixels - 1) / kConverterBlockPixels * kConverterBlockPixels;
}

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
    av_frame_free(&rgbFrame);
    av_packet_free(&packet);
    sws_freeContext(swsContext);
    swsContext = nullptr;
    avcodec_free_context(&codecContext);
    avformat_close_input(&formatContext);
    std::vector<uint8_t>().swap(rgbBuffer);
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
    context.rgbFrame = av_frame_alloc();
    context.packet = av_packet_alloc();
    if (context.frame == nullptr || context.rgbFrame == nullptr || context.packet == nullptr) {
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
        if (!EnsureRgbConverter(context, onStatus)) {
            av_frame_unref(context.frame);
            return false;
        }
        EmitFrameIfDue(context, onFrame, onStatus);
        av_frame_unref(context.frame);
    }
    return true;
}

bool RtspStreamDecoder::EnsureRgbConverter(DecoderContext& context, const StatusCallback& onStatus)
{
    const AVFrame* picture = context.frame;
    if (context.swsContext != nullptr && picture->width == context.rgbWidth &&
        picture->height == context.rgbHeight && picture->format == context.rgbSourceFormat) {
        return true;
    }

    sws_freeContext(context.swsContext);
    context.swsContext =
        sws_getContext(picture->width, picture->height, static_cast<AVPixelFormat>(picture->format), picture->width,
                       picture->height, AV_PIX_FMT_RGB24, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (context.swsContext == nullptr) {
        onStatus("Failed to initialize FFmpeg scaling context.");
        return false;
    }

    const int paddedWidth = ConverterRowPixels(picture->width);
    const int bufferSize = av_image_get_buffer_size(AV_PIX_FMT_RGB24, paddedWidth, picture->height, kRgbRowAlignment);
    if (bufferSize <= 0) {
        onStatus("Failed to calculate RGB frame buffer size.");
        return false;
    }
    context.rgbBuffer.resize(static_cast<std::size_t>(bufferSize) + kRgbTailSlackBytes);

    const int fillResult = av_image_fill_arrays(context.rgbFrame->data, context.rgbFrame->linesize,
                                                context.rgbBuffer.data(), AV_PIX_FMT_RGB24, paddedWidth,
                                                picture->height, kRgbRowAlignment);
    if (fillResult < 0) {
        onStatus("Failed to initialize RGB frame buffers: " + ErrorText(fillResult));
        return false;
    }

    context.rgbWidth = picture->width;
    context.rgbHeight = picture->height;
    context.rgbSourceFormat = picture->format;
    return true;
}

void RtspStreamDecoder::EmitFrameIfDue(DecoderContext& context, const FrameCallback& onFrame,
                                       const StatusCallback& onStatus)
{
    const AVFrame* picture = context.frame;
    if (!context.formatReported) {
        context.formatReported = true;
        const char* formatName = av_get_pix_fmt_name(static_cast<AVPixelFormat>(picture->format));
        onStatus("Receiving frames: " + std::to_string(picture->width) + "x" + std::to_string(picture->height) +
                 " " + (formatName != nullptr ? formatName : "unknown"));
    }

    // Decided before the conversion, a large share of each picture's cost: a
    // picture the pacing drops is never converted.
    const auto now = std::chrono::steady_clock::now();
    if (now - context.lastEmitTime < kMinEmitInterval) {
        return;
    }
    sws_scale(context.swsContext, picture->data, picture->linesize, 0, picture->height, context.rgbFrame->data,
              context.rgbFrame->linesize);

    const int width = picture->width;
    const int height = picture->height;
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 3;
    // Filled row by row without zeroing it first: every byte is written once.
    std::vector<uint8_t> rgb;
    rgb.reserve(rowBytes * static_cast<std::size_t>(height));
    const uint8_t* source = context.rgbFrame->data[0];
    const std::size_t sourceStride = static_cast<std::size_t>(context.rgbFrame->linesize[0]);
    for (int y = 0; y < height && rowBytes > 0; ++y) {
        const uint8_t* row = source + y * sourceStride;
        rgb.insert(rgb.end(), row, row + rowBytes);
    }
    onFrame(std::move(rgb), width, height);
    // Measured from before the conversion, so time spent in it and in the
    // callback counts towards the next interval.
    context.lastEmitTime = now;
}
