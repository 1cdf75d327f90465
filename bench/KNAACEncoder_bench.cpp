// CPU seconds per second of audio through each AAC encoder, beside ffmpeg's own `aac` encoder
// turning the same PCM into ADTS at the same rate and bit rate, one thread each, pinned to the same
// cores (KESTRUNE_BENCH_CPUS), rounds alternating.
//
//   KNAACEncoder_bench [seconds of audio, default 60] [rounds, default 5]
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "encoding/KNAACEncoder.h"
#include "encoding/KNAACEncoder2.h"

namespace {

constexpr uint64_t kBitRate = 128000;
constexpr size_t kFramesPerCall = 1024;  // one microphone buffer

double processCPUSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// Speech-like material: a tone with a wandering pitch under noise, so the encoder works for its bits.
std::vector<int16_t> material(uint64_t rate, double seconds) {
    const size_t frames = size_t(double(rate) * seconds);
    std::vector<int16_t> pcm(frames);
    std::mt19937 random(7);
    std::normal_distribution<double> noise(0, 0.05);
    double phase = 0;
    for (size_t i = 0; i < frames; ++i) {
        const double t = double(i) / double(rate);
        phase += 2 * M_PI * (440 + 200 * std::sin(2 * M_PI * 0.5 * t)) / double(rate);
        pcm[i] = int16_t(std::lround(std::clamp(0.4 * std::sin(phase) + noise(random), -1.0, 1.0) * 32767));
    }
    return pcm;
}

class Counter : public KNAACEncoderDelegate {
public:
    void AACEncoderDidEncodeDataWithAdtsHeaderWithDurationTimestamp(KNAACEncoderBase*, const Bytes& data,
                                                                    platform::MediaTime, uint64_t) override {
        bytes += data->size();
        ++packets;
    }
    std::atomic<uint64_t> bytes{0};
    std::atomic<uint64_t> packets{0};
};

double runEncoder(const std::shared_ptr<KNAACEncoderBase>& encoder, const std::vector<int16_t>& pcm, uint64_t rate,
                  uint64_t* outBytes) {
    auto counter = std::make_shared<Counter>();
    encoder->setDelegate(counter);
    encoder->setSampleRate(rate);
    encoder->setBitRate(kBitRate);
    encoder->startEncoding();
    encoder->encoderQueue()->sync([] {});
    // Slices made up front: the bench measures the encoder, not the caller's copies.
    std::vector<KNAACEncoderBase::Bytes> calls;
    for (size_t at = 0; at < pcm.size(); at += kFramesPerCall) {
        const size_t n = std::min(kFramesPerCall, pcm.size() - at);
        const auto* p = reinterpret_cast<const uint8_t*>(pcm.data() + at);
        calls.push_back(std::make_shared<const std::vector<uint8_t>>(p, p + n * 2));
    }
    const double before = processCPUSeconds();
    uint64_t ms = 0;
    for (auto& call : calls) {
        encoder->encodeAudioDataTimestamp(std::move(call), ms);
        ms += kFramesPerCall * 1000 / rate;
    }
    encoder->encoderQueue()->sync([] {});
    const double cpu = processCPUSeconds() - before;
    encoder->stopEncoding();
    encoder->encoderQueue()->sync([] {});
    *outBytes = counter->bytes;
    return cpu;
}

// ffmpeg encoding the same PCM, and the same command without the encoder (start-up, reading).
std::vector<std::string> ffmpegCommand(const std::string& pcmPath, uint64_t rate, bool encode) {
    std::vector<std::string> args = {"ffmpeg", "-nostdin", "-v", "error", "-threads", "1", "-f", "s16le", "-ar",
                                     std::to_string(rate), "-ac", "1", "-i", pcmPath};
    if (encode) {
        for (const char* a : {"-c:a", "aac", "-b:a"}) args.emplace_back(a);
        args.push_back(std::to_string(kBitRate));
        for (const char* a : {"-f", "adts", "-y", "/dev/null"}) args.emplace_back(a);
    } else {
        for (const char* a : {"-f", "null", "-"}) args.emplace_back(a);
    }
    return args;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 60.0;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    if (!(seconds > 0) || rounds <= 0) {
        std::fprintf(stderr, "usage: %s [seconds of audio] [rounds]\n", argv[0]);
        return 2;
    }
    const std::string pinned = knbench::pinToBenchCpus();
    std::printf("%.0f s of mono PCM per run, %llu bit/s, %s, %d rounds alternating; ffmpeg's start-up and reading "
                "(its command without the encoder) taken off its encode run\n",
                seconds, (unsigned long long)kBitRate, pinned.c_str(), rounds);
    int status = 0;
    for (uint64_t rate : {48000u, 44100u}) {
        const auto pcm = material(rate, seconds);
        char path[] = "/tmp/kestrune-aac-bench-XXXXXX";
        const int fd = mkstemp(path);
        if (fd < 0) return 1;
        close(fd);
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(pcm.data()), std::streamsize(pcm.size() * 2));
        const auto encode = ffmpegCommand(path, rate, true);
        const auto readOnly = ffmpegCommand(path, rate, false);
        std::printf("  ffmpeg encode:    %s\n  ffmpeg read only: %s\n", knbench::commandLine(encode).c_str(),
                    knbench::commandLine(readOnly).c_str());
        std::printf("%-14s %6s %6s %14s\n", "encoder", "rate", "round", "cpu s/audio s");
        std::map<std::string, std::vector<double>> cpu;
        for (int round = 1; round <= rounds && status == 0; ++round) {
            const auto full = knbench::runChild(encode);
            const auto read = knbench::runChild(readOnly);
            if (!full.ok || !read.ok) {
                std::printf("ffmpeg could not be run\n");
                status = 1;
                break;
            }
            cpu["ffmpeg aac"].push_back((full.cpuSeconds - read.cpuSeconds) / seconds);
            std::printf("%-14s %6llu %6d %14.5f\n", "ffmpeg aac", (unsigned long long)rate, round,
                        cpu["ffmpeg aac"].back());
            const std::pair<const char*, std::shared_ptr<KNAACEncoderBase>> encoders[] = {
                {"KNAACEncoder", KNAACEncoder::create()}, {"KNAACEncoder2", KNAACEncoder2::create()}};
            for (const auto& [name, encoder] : encoders) {
                uint64_t bytes = 0;
                cpu[name].push_back(runEncoder(encoder, pcm, rate, &bytes) / seconds);
                std::printf("%-14s %6llu %6d %14.5f   (%.1f kbit/s)\n", name, (unsigned long long)rate, round,
                            cpu[name].back(), double(bytes) * 8 / seconds / 1000);
            }
        }
        unlink(path);
        if (status != 0) break;
        for (const char* name : {"KNAACEncoder", "KNAACEncoder2"}) {
            std::printf("%llu Hz median (min-max): %s %s, ffmpeg %s CPU s per s of audio; %s/ffmpeg %s\n",
                        (unsigned long long)rate, name, knbench::show(knbench::spread(cpu[name]), 5).c_str(),
                        knbench::show(knbench::spread(cpu["ffmpeg aac"]), 5).c_str(), name,
                        knbench::show(knbench::spread(knbench::ratio(cpu[name], cpu["ffmpeg aac"])), 2).c_str());
        }
    }
    return status;
}
