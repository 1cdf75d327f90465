#pragma once
// Media files made by ffmpeg for the readers: a moving test picture and a tone, in MP4.
#include <filesystem>
#include <string>

#include "TestServer.h"

namespace kntest {

struct MediaFileOptions {
    double seconds = 2;
    int width = 320, height = 240, fps = 25;
    int sampleRate = 44100, channels = 1;
    bool video = true, audio = true;
    std::string extra = "";  // ffmpeg output options
};

// The file's path; empty when ffmpeg failed.
inline std::string makeMediaFile(const std::string& dir, const std::string& name, const MediaFileOptions& o) {
    std::filesystem::create_directories(dir);
    const std::string path = dir + "/" + name + ".mp4";
    const auto n = [](auto v) { return std::to_string(v); };
    std::string command = "ffmpeg -nostdin -v error -y";
    if (o.video) command += " -f lavfi -i testsrc2=size=" + n(o.width) + "x" + n(o.height) + ":rate=" + n(o.fps);
    if (o.audio) command += " -f lavfi -i sine=frequency=440:sample_rate=" + n(o.sampleRate);
    command += " -t " + n(o.seconds);
    if (o.video) command += " -c:v libx264 -preset ultrafast -pix_fmt yuv420p -g " + n(o.fps);
    if (o.audio) command += " -c:a aac -b:a 96k -ac " + n(o.channels);
    command += " " + o.extra + " '" + path + "' >'" + path + ".log' 2>&1";
    return std::system(command.c_str()) == 0 ? path : std::string();
}

}  // namespace kntest
