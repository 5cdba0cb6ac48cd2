#include "PeerCommands.h"

#include <cstdlib>
#include <fstream>

std::vector<std::string> DecodeFloorCommand(const std::string& url, const std::string& progressPath)
{
    return {"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-threads", "1",
            "-rtsp_transport", "tcp", "-i", url, "-f", "null", "-progress", progressPath, "-"};
}

bool WriteMotionConfig(const std::string& configPath, const std::string& url, int width, int height,
                       int streamFps, const std::string& logPath, const std::string& targetDir)
{
    std::ofstream config(configPath, std::ios::trunc);
    // capture_rate: decode every picture the camera sends, as the pipeline
    // does (a lower one makes Motion fall behind the stream); framerate: the
    // detection rate. Detection and overlay settings are those of Debian's
    // shipped motion.conf; width and height match the stream so that Motion
    // does not rescale.
    config << "daemon off\n"
              "setup_mode off\n"
              "camera_name bench\n"
              "log_file " << logPath << "\n"
              "log_level 6\n"
              "target_dir " << targetDir << "\n"
              "netcam_url " << url << "\n"
              "netcam_params rtsp_transport=tcp, capture_rate=" << streamFps << "\n"
              "width " << width << "\n"
              "height " << height << "\n"
              "framerate 10\n"
              "text_left CAMERA1\n"
              "text_right %Y-%m-%d\\n%T-%q\n"
              "emulate_motion off\n"
              "threshold 1500\n"
              "despeckle_filter EedDl\n"
              "minimum_motion_frames 1\n"
              "event_gap 60\n"
              "pre_capture 3\n"
              "post_capture 0\n"
              "picture_output off\n"
              "picture_output_motion off\n"
              "movie_output off\n"
              "movie_output_motion off\n"
              "snapshot_interval 0\n"
              "timelapse_interval 0\n"
              "webcontrol_port 0\n"
              "stream_port 0\n";
    config.close();
    return !config.fail();
}

std::vector<std::string> MotionCommand(const std::string& configPath)
{
    return {"motion", "-n", "-c", configPath};
}

long LastProgressFrame(const std::string& progressPath)
{
    std::ifstream progress(progressPath);
    std::string line;
    long frames = -1;
    const std::string key = "frame=";
    while (std::getline(progress, line)) {
        if (line.compare(0, key.size(), key) == 0) {
            frames = std::strtol(line.c_str() + key.size(), nullptr, 10);
        }
    }
    return frames;
}

bool MotionConnected(const std::string& logPath)
{
    std::ifstream log(logPath);
    std::string line;
    while (std::getline(log, line)) {
        if (line.find("netcam_rtsp_connect") != std::string::npos &&
            line.find("connected") != std::string::npos) {
            return true;
        }
    }
    return false;
}
