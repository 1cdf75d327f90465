// RTMPS against plain RTMP, ours and ffmpeg's: the same pre-encoded media (720p30 H.264 Main at
// 16 Mbit/s plus AAC) pushed as fast as a private local nginx takes it, over rtmp:// and over
// rtmps:// to its TLS 1.3 port, by KNRTMPManager and by `ffmpeg -i media.flv -c copy -f flv`.
//
//   RTMPSThroughput_bench [seconds of media, default 60] [rounds, default 5]
//
// Whole processes pinned to the same cores (KESTRUNE_BENCH_CPUS), alternating round by round;
// reading the media is taken off each side by its own read-only run (see PushBench.h).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "PushBench.h"

using namespace knbench;

int main(int argc, char** argv) {
    if (const int child = pushChildMain(argc, argv); child >= 0) return child;
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;

    const fs::path dir = fs::temp_directory_path() / ("kestrune-bench-rtmps-" + std::to_string(getpid()));
    fs::create_directories(dir);
    std::map<std::string, std::string> env;
    if (!startServer(dir, env)) return 1;
    setenv("SSL_CERT_FILE", env["CA_FILE"].c_str(), 1);  // our children verify against the test CA
    const double megabytes = makePushMedia(dir, seconds);
    const std::string pinned = pinToBenchCpus();
    const std::string flv = (dir / "media.flv").string();
    const std::string secs = std::to_string(seconds);
    const std::string plain = "rtmp://127.0.0.1:" + env["RTMP_PORT"] + "/live/";
    const std::string tls = "rtmps://localhost:" + env["TLS13_PORT"] + "/live/";
    const auto ffmpeg = [&](const std::string& url) {
        return std::vector<std::string>{"ffmpeg", "-nostdin", "-v", "error", "-i", flv, "-c", "copy", "-f", "flv", url};
    };
    const auto contenders = [&](int round) {
        const std::string n = std::to_string(round);
        return std::vector<Contender>{
            {"Kestrune rtmps", {selfPath(), "--publish", dir.string(), tls + "ours-tls-" + n, secs}, "ours-tls-" + n},
            {"ffmpeg rtmps", ffmpeg(tls + "ff-tls-" + n), "ff-tls-" + n},
            {"Kestrune rtmp", {selfPath(), "--publish", dir.string(), plain + "ours-" + n, secs}, "ours-" + n},
            {"ffmpeg rtmp", ffmpeg(plain + "ff-" + n), "ff-" + n},
            {"Kestrune read only", {selfPath(), "--read", dir.string(), secs}, ""},
            {"Kestrune rtmps connect", {selfPath(), "--connect", tls + "ours-tls-connect-" + n}, "ours-tls-connect-" + n},
            {"Kestrune rtmp connect", {selfPath(), "--connect", plain + "ours-connect-" + n}, "ours-connect-" + n},
            {"ffmpeg read only", {"ffmpeg", "-nostdin", "-v", "error", "-i", flv, "-c", "copy", "-f", "null", "-"}, ""},
        };
    };
    int status = megabytes > 0 ? 0 : 1;
    if (status == 0) {
        std::printf("%s, %d rounds alternating\n", pinned.c_str(), rounds);
        for (const auto& c : contenders(0)) std::printf("  %-20s %s\n", c.name.c_str(), commandLine(c.argv).c_str());
        auto cpu = runRounds(contenders, rounds, env["RECORD_DIR"], megabytes);
        status = cpu.empty() ? 1 : 0;
        if (status == 0) {
            const auto oursTLS = minus(cpu["Kestrune rtmps"], cpu["Kestrune read only"]);
            const auto oursPlain = minus(cpu["Kestrune rtmp"], cpu["Kestrune read only"]);
            const auto theirTLS = minus(cpu["ffmpeg rtmps"], cpu["ffmpeg read only"]);
            const auto theirPlain = minus(cpu["ffmpeg rtmp"], cpu["ffmpeg read only"]);
            std::printf("median (min-max) over %d rounds, sender only (reading taken off), CPU ms per MB:\n", rounds);
            std::printf("  Kestrune rtmps %s, rtmp %s; ffmpeg rtmps %s, rtmp %s\n",
                        show(spread(perMB(oursTLS, megabytes))).c_str(), show(spread(perMB(oursPlain, megabytes))).c_str(),
                        show(spread(perMB(theirTLS, megabytes))).c_str(),
                        show(spread(perMB(theirPlain, megabytes))).c_str());
            std::printf("  TLS per MB (rtmps - rtmp): Kestrune %s, ffmpeg %s\n",
                        show(spread(perMB(minus(oursTLS, oursPlain), megabytes))).c_str(),
                        show(spread(perMB(minus(theirTLS, theirPlain), megabytes))).c_str());
            std::printf("  Kestrune rtmps / ffmpeg rtmps: whole process %s, sender only %s\n",
                        show(spread(ratio(cpu["Kestrune rtmps"], cpu["ffmpeg rtmps"])), 2).c_str(),
                        show(spread(ratio(oursTLS, theirTLS)), 2).c_str());
            std::printf("  Kestrune rtmps / Kestrune rtmp: sender only %s\n",
                        show(spread(ratio(oursTLS, oursPlain)), 2).c_str());
            // Start-up (process, trust store, handshake) taken off as well: the cost of the bytes.
            const auto tlsBytes = minus(oursTLS, cpu["Kestrune rtmps connect"]);
            const auto plainBytes = minus(oursPlain, cpu["Kestrune rtmp connect"]);
            std::printf("  once connected (push - read only - connect only): Kestrune rtmps %s, rtmp %s CPU ms per MB; "
                        "rtmps/rtmp %s\n",
                        show(spread(perMB(tlsBytes, megabytes))).c_str(), show(spread(perMB(plainBytes, megabytes))).c_str(),
                        show(spread(ratio(tlsBytes, plainBytes)), 2).c_str());
        }
    }
    stopServer(dir);
    fs::remove_all(dir);
    return status;
}
