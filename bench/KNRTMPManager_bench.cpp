// Publishing pre-encoded media as fast as the server takes it: 720p30 H.264 Main at 16 Mbit/s plus
// AAC (made by ffmpeg at the start) pushed through KNRTMPManager to a private local nginx, beside
// `ffmpeg -i media.flv -c copy -f flv rtmp://...` pushing the same media to the same server.
//
//   KNRTMPManager_bench [seconds of media, default 60] [rounds, default 5]
//
// Whole process against whole process, pinned to the same cores (KESTRUNE_BENCH_CPUS), contenders
// alternating round by round. Reading the media is then taken off both sides the same way: ours
// minus our own read-only run, ffmpeg's minus `ffmpeg -i media.flv -c copy -f null -`; what is
// left is each sender's cost. MB are media payload bytes, the same for both.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "PushBench.h"

using namespace knbench;

int main(int argc, char** argv) {
    if (const int child = pushChildMain(argc, argv); child >= 0) return child;
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;

    const fs::path dir = fs::temp_directory_path() / ("kestrune-bench-publish-" + std::to_string(getpid()));
    fs::create_directories(dir);
    std::map<std::string, std::string> env;
    if (!startServer(dir, env)) return 1;
    const double megabytes = makePushMedia(dir, seconds);
    const std::string pinned = pinToBenchCpus();
    const std::string flv = (dir / "media.flv").string();
    const std::string secs = std::to_string(seconds);
    const std::string base = "rtmp://127.0.0.1:" + env["RTMP_PORT"] + "/live/";
    const auto contenders = [&](int round) {
        const std::string n = std::to_string(round);
        return std::vector<Contender>{
            {"Kestrune push", {selfPath(), "--publish", dir.string(), base + "ours-" + n, secs}, "ours-" + n},
            {"ffmpeg push", {"ffmpeg", "-nostdin", "-v", "error", "-i", flv, "-c", "copy", "-f", "flv", base + "ff-" + n},
             "ff-" + n},
            {"Kestrune read only", {selfPath(), "--read", dir.string(), secs}, ""},
            {"ffmpeg read only", {"ffmpeg", "-nostdin", "-v", "error", "-i", flv, "-c", "copy", "-f", "null", "-"}, ""},
        };
    };
    int status = megabytes > 0 ? 0 : 1;
    if (status == 0) {
        std::printf("to %s, %s, %d rounds alternating\n", base.c_str(), pinned.c_str(), rounds);
        for (const auto& c : contenders(0)) std::printf("  %-20s %s\n", c.name.c_str(), commandLine(c.argv).c_str());
        auto cpu = runRounds(contenders, rounds, env["RECORD_DIR"], megabytes);
        status = cpu.empty() ? 1 : 0;
        if (status == 0) {
            const auto ours = minus(cpu["Kestrune push"], cpu["Kestrune read only"]);
            const auto theirs = minus(cpu["ffmpeg push"], cpu["ffmpeg read only"]);
            std::printf("median (min-max) over %d rounds, CPU ms per MB:\n", rounds);
            std::printf("  whole process: Kestrune %s, ffmpeg %s; Kestrune/ffmpeg %s\n",
                        show(spread(perMB(cpu["Kestrune push"], megabytes))).c_str(),
                        show(spread(perMB(cpu["ffmpeg push"], megabytes))).c_str(),
                        show(spread(ratio(cpu["Kestrune push"], cpu["ffmpeg push"])), 2).c_str());
            std::printf("  sender only (reading taken off): Kestrune %s, ffmpeg %s; Kestrune/ffmpeg %s\n",
                        show(spread(perMB(ours, megabytes))).c_str(), show(spread(perMB(theirs, megabytes))).c_str(),
                        show(spread(ratio(ours, theirs)), 2).c_str());
        }
    }
    stopServer(dir);
    fs::remove_all(dir);
    return status;
}
