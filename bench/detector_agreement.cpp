// detector_agreement [--keep]: does the detector that works on the reduced
// luma plane say what the full-size detector said? Makes its reference clips
// with ffmpeg's own test sources in a temporary folder, decodes each, takes a
// picture every 100 ms of video as the decoder does, gives it to both
// detectors (the reference on the picture converted to RGB at full size, as
// the program did before), and prints per clip how often the verdicts agree
// and how far the boxes lie apart. Exit status 0 when every clip meets the
// aims: verdicts agree on at least 99 % of pictures, and every box lies
// within 2 % of the picture's width of its counterpart.
#include "MotionDetector.h"
#include "ReferenceMotionDetector.h"
#include "VideoFrame.h"

#include <opencv2/core.hpp>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

extern char** environ;

namespace {

constexpr double kMinAgreement = 0.99;
constexpr double kMaxBoxDeviation = 0.02;  // of the picture's width
constexpr int64_t kSampleIntervalMs = 100;

struct Clip {
    const char* name;
    const char* graph;  // ffmpeg filter graph with one output, the clip
    const char* expected;  // what the full-size rule should find, for the reader
};

// The moving clips are the test camera's scene (scripts/test_camera.py): a
// white box a quarter of the picture wide and three quarters high crossing
// black every 0.6 s.
const Clip kClips[] = {
    {"moving 1280x720",
     "color=c=black:s=1280x720:r=25:d=20[bg];color=c=white:s=320x540:r=25[obj];"
     "[bg][obj]overlay=x='mod(t,0.6)/0.6*(main_w-overlay_w)':y='(main_h-overlay_h)/2':shortest=1",
     "motion in every picture"},
    {"moving 1920x1080",
     "color=c=black:s=1920x1080:r=25:d=20[bg];color=c=white:s=480x810:r=25[obj];"
     "[bg][obj]overlay=x='mod(t,0.6)/0.6*(main_w-overlay_w)':y='(main_h-overlay_h)/2':shortest=1",
     "motion in every picture"},
    {"moving 3840x2160",
     "color=c=black:s=3840x2160:r=25:d=12[bg];color=c=white:s=960x1620:r=25[obj];"
     "[bg][obj]overlay=x='mod(t,0.6)/0.6*(main_w-overlay_w)':y='(main_h-overlay_h)/2':shortest=1",
     "motion in every picture"},
    // Strong noise in every picture, and from 8 s to 14 s a box crossing it.
    {"noisy 1280x720",
     "smptehdbars=s=1280x720:r=25:d=20,noise=alls=40:allf=t+u[bg];color=c=white:s=200x200:r=25[obj];"
     "[bg][obj]overlay=x='mod(t,1.2)/1.2*(main_w-overlay_w)':y=260:shortest=1:enable='between(t,8,14)'",
     "motion only from 8 s to 14 s"},
    // A slow fade, then sudden changes of about 64 and of about 33 levels.
    {"lighting 1280x720",
     "smptehdbars=s=1280x720:r=25:d=20,"
     "eq=eval=frame:brightness='if(lt(t,8),-0.2+0.05*t,if(lt(t,12),0.2,if(lt(t,16),-0.05,0.08)))'",
     "motion only at the drop at 12 s"},
    // A light square jumping between places 140 pixels apart, 10 pictures a
    // second: each picture changes in two regions of the square's size,
    // 6360 px² (75 x 75 pixels) or 5740 px² (71 x 71) as the full-size rule
    // measures them, 6 % above and 4 % below its floor of 6000.
    {"small above 640x480",
     "color=c=0x646464:s=640x480:r=10:d=30[bg];color=c=0xdcdcdc:s=75x75:r=10[obj];"
     "[bg][obj]overlay=x='40+mod(n,4)*140+mod(n,7)':y='180+mod(n,5)*6':shortest=1",
     "motion in every picture"},
    {"small below 640x480",
     "color=c=0x646464:s=640x480:r=10:d=30[bg];color=c=0xdcdcdc:s=71x71:r=10[obj];"
     "[bg][obj]overlay=x='40+mod(n,4)*140+mod(n,7)':y='180+mod(n,5)*6':shortest=1",
     "no motion"},
    // The same squares at 1080p beside a large moving box: the large one
    // passes the 1 % share, so the floor alone decides the small boxes.
    {"small above 1920x1080",
     "color=c=0x646464:s=1920x1080:r=10:d=30[bg];color=c=white:s=480x300:r=10[big];"
     "color=c=0xdcdcdc:s=75x75:r=10[small];[bg][big]overlay=x='mod(n,6)*240':y=700:shortest=1[scene];"
     "[scene][small]overlay=x='200+mod(n,4)*300+mod(n,7)':y='100+mod(n,5)*6':shortest=1",
     "motion in every picture, two small boxes each"},
    {"small below 1920x1080",
     "color=c=0x646464:s=1920x1080:r=10:d=30[bg];color=c=white:s=480x300:r=10[big];"
     "color=c=0xdcdcdc:s=71x71:r=10[small];[bg][big]overlay=x='mod(n,6)*240':y=700:shortest=1[scene];"
     "[scene][small]overlay=x='200+mod(n,4)*300+mod(n,7)':y='100+mod(n,5)*6':shortest=1",
     "motion in every picture, no small box"},
};

bool Run(std::vector<std::string> arguments)
{
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return false;
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The clip as the test camera encodes: x264, fastest preset, no B-frames.
bool MakeClip(const Clip& clip, const std::string& path)
{
    return Run({"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-filter_complex", clip.graph,
                "-c:v", "libx264", "-preset", "ultrafast", "-tune", "zerolatency", "-pix_fmt", "yuv420p", path});
}

struct Tally {
    int pictures = 0;  // compared: every one after the first
    int referenceMotion = 0;
    int reducedMotion = 0;
    int referenceBoxes = 0;
    int agreed = 0;
    int comparedBoxes = 0;
    int unmatchedBoxes = 0;  // a box of either without a counterpart in the other
    double largestDeviation = 0;  // of the picture's width
    double referenceSeconds = 0;
    double reducedSeconds = 0;
};

// The largest distance between the edges of two boxes.
int EdgeDistance(const cv::Rect& a, const cv::Rect& b)
{
    return std::max({std::abs(a.x - b.x), std::abs(a.y - b.y), std::abs(a.br().x - b.br().x),
                     std::abs(a.br().y - b.br().y)});
}

// Pairs every box of each result with the other's nearest; a box whose
// nearest lies more than half its own size away has no counterpart.
void CompareBoxes(const MotionResult& reference, const MotionResult& reduced, int width, Tally& tally)
{
    const auto compare = [&](const std::vector<cv::Rect>& from, const std::vector<cv::Rect>& to) {
        for (const cv::Rect& box : from) {
            int nearest = -1;
            for (const cv::Rect& other : to) {
                const int distance = EdgeDistance(box, other);
                nearest = nearest < 0 ? distance : std::min(nearest, distance);
            }
            ++tally.comparedBoxes;
            if (nearest < 0 || nearest > std::min(box.width, box.height) / 2) {
                ++tally.unmatchedBoxes;
                continue;
            }
            tally.largestDeviation = std::max(tally.largestDeviation, static_cast<double>(nearest) / width);
        }
    };
    compare(reference.boxes, reduced.boxes);
    compare(reduced.boxes, reference.boxes);
}

bool CompareClip(const std::string& path, Tally& tally)
{
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0)
        return false;
    AVCodecContext* codec = nullptr;
    AVPacket* packet = av_packet_alloc();
    AVFrame* decoded = av_frame_alloc();
    const int stream = avformat_find_stream_info(format, nullptr) >= 0
        ? av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0) : -1;
    const AVCodec* decoder = stream >= 0 ? avcodec_find_decoder(format->streams[stream]->codecpar->codec_id) : nullptr;
    if (decoder != nullptr && (codec = avcodec_alloc_context3(decoder)) != nullptr &&
        avcodec_parameters_to_context(codec, format->streams[stream]->codecpar) >= 0 &&
        avcodec_open2(codec, decoder, nullptr) >= 0 && packet != nullptr && decoded != nullptr) {
        const AVRational timeBase = format->streams[stream]->time_base;
        ReferenceMotionDetector reference;
        MotionDetector reduced;
        RgbConverter converter;
        int64_t lastSampleMs = INT64_MIN / 2;
        bool first = true;
        const auto sample = [&] {
            const int64_t ms = av_rescale_q(decoded->best_effort_timestamp, timeBase, AVRational{1, 1000});
            if (ms - lastSampleMs < kSampleIntervalMs)
                return;
            lastSampleMs = ms;
            const VideoFrame frame(decoded);
            const auto start = std::chrono::steady_clock::now();
            std::vector<uint8_t> rgb = converter.ToRgb(frame);
            const MotionResult full = reference.Detect(cv::Mat(frame.Height(), frame.Width(), CV_8UC3, rgb.data()));
            const auto middle = std::chrono::steady_clock::now();
            const MotionResult small = reduced.Detect(
                {frame.Luma(), frame.LumaStride(), frame.Width(), frame.Height(), frame.IsLimitedRange()});
            const auto end = std::chrono::steady_clock::now();
            if (std::exchange(first, false))
                return;
            ++tally.pictures;
            tally.referenceSeconds += std::chrono::duration<double>(middle - start).count();
            tally.reducedSeconds += std::chrono::duration<double>(end - middle).count();
            tally.referenceMotion += full.motion;
            tally.referenceBoxes += static_cast<int>(full.boxes.size());
            tally.reducedMotion += small.motion;
            tally.agreed += full.motion == small.motion;
            if (full.motion && small.motion)
                CompareBoxes(full, small, frame.Width(), tally);
        };
        for (bool draining = false;;) {
            if (!draining) {
                if (av_read_frame(format, packet) < 0) {
                    draining = true;
                    avcodec_send_packet(codec, nullptr);
                } else {
                    if (packet->stream_index == stream)
                        avcodec_send_packet(codec, packet);
                    av_packet_unref(packet);
                }
            }
            int received = 0;
            while ((received = avcodec_receive_frame(codec, decoded)) >= 0) {
                sample();
                av_frame_unref(decoded);
            }
            if (received == AVERROR_EOF)
                break;
        }
    }
    av_frame_free(&decoded);
    av_packet_free(&packet);
    avcodec_free_context(&codec);
    avformat_close_input(&format);
    return tally.pictures > 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const bool keep = argc > 1 && std::string(argv[1]) == "--keep";
    std::string pattern = (std::filesystem::temp_directory_path() / "orvanta-clips-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("detector_agreement: temporary folder");
        return 2;
    }
    const std::string folder = pattern;
    std::printf("%-22s %8s %7s %7s %9s %9s %8s %9s %9s %9s\n", "clip", "pictures", "ref mo", "new mo", "ref boxes",
                "agreement", "box dev", "unmatch", "ref ms", "new ms");
    bool allMet = true;
    for (const Clip& clip : kClips) {
        std::string file = clip.name;
        std::replace(file.begin(), file.end(), ' ', '-');
        const std::string path = folder + "/" + file + ".mkv";
        Tally tally;
        if (!MakeClip(clip, path) || !CompareClip(path, tally)) {
            std::printf("%-22s could not be made or read (is ffmpeg with libx264 installed?)\n", clip.name);
            allMet = false;
            continue;
        }
        const double agreement = static_cast<double>(tally.agreed) / tally.pictures;
        const bool met = agreement >= kMinAgreement && tally.largestDeviation <= kMaxBoxDeviation &&
                         tally.unmatchedBoxes == 0;
        allMet = allMet && met;
        std::printf("%-22s %8d %7d %7d %9.2f %8.1f%% %8.2f%% %8d %9.2f %9.2f%s\n", clip.name, tally.pictures,
                    tally.referenceMotion, tally.reducedMotion,
                    static_cast<double>(tally.referenceBoxes) / std::max(1, tally.referenceMotion),
                    100 * agreement, 100 * tally.largestDeviation,
                    tally.unmatchedBoxes, 1000 * tally.referenceSeconds / tally.pictures,
                    1000 * tally.reducedSeconds / tally.pictures, met ? "" : "  <- aim missed");
        std::printf("%-22s expected: %s\n", "", clip.expected);
        std::fflush(stdout);
    }
    std::printf("\nref mo / new mo: pictures with motion by the full-size reference / the detector; ref boxes:\n"
                "the reference's boxes per picture with motion; box dev:\n"
                "largest distance of a box edge from its counterpart's, of the picture's width; unmatch: boxes\n"
                "without a counterpart; ms: detection time per picture (the reference's includes its RGB\n"
                "conversion). Aims: agreement >= 99 %%, box dev <= 2 %%, no unmatched box.\n");
    if (keep)
        std::printf("clips kept in %s\n", folder.c_str());
    else
        std::filesystem::remove_all(folder);
    return allMet ? 0 : 1;
}
