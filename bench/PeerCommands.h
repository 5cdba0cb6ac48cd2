#pragma once

#include <string>
#include <vector>

// The two programs the pipeline is compared with, on the same stream.

// The decode floor: FFmpeg's command-line tool demuxing and decoding every
// picture on one thread and discarding it. Progress lines ("frame=N") go to
// progressPath.
std::vector<std::string> DecodeFloorCommand(const std::string& url, const std::string& progressPath);

// The peer a user would otherwise run: Motion (Debian's `motion`), detecting
// at 10 frames per second with Debian's stock detection settings, every
// output off (no pictures, movies, snapshots, web control or stream) and its
// log in logPath. Writes the configuration to configPath; false if it cannot.
bool WriteMotionConfig(const std::string& configPath, const std::string& url, int width, int height,
                       int streamFps, const std::string& logPath, const std::string& targetDir);
std::vector<std::string> MotionCommand(const std::string& configPath);

// The highest "frame=N" in an FFmpeg progress file, or -1 when none yet.
long LastProgressFrame(const std::string& progressPath);

// True once Motion's log says the camera is connected.
bool MotionConnected(const std::string& logPath);
