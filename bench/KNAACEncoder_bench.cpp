// CPU seconds per second of audio through each AAC encoder, beside ffmpeg's own `aac` encoder
// turning the same PCM into ADTS at the same rate and bit rate.
//
//   KNAACEncoder_bench [seconds of audio, default 60]
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

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

// ffmpeg's user+system time for the same PCM, less what it spends on starting with a tiny input.
double runFFmpeg(const std::string& pcmPath, uint64_t rate, const std::string& seconds) {
    auto cpuOf = [&](const std::string& duration) {
        const pid_t pid = fork();
        if (pid == 0) {
            const std::string r = std::to_string(rate), b = std::to_string(kBitRate);
            execlp("ffmpeg", "ffmpeg", "-nostdin", "-v", "error", "-threads", "1", "-f", "s16le", "-ar", r.c_str(),
                   "-ac", "1", "-t", duration.c_str(), "-i", pcmPath.c_str(), "-c:a", "aac", "-b:a", b.c_str(), "-f",
                   "adts", "-y", "/dev/null", static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        rusage usage{};
        if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
            return -1.0;
        return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    };
    const double startup = cpuOf("0.05");
    const double whole = cpuOf(seconds);
    return startup < 0 || whole < 0 ? -1.0 : whole - startup;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 60.0;
    if (!(seconds > 0)) {
        std::fprintf(stderr, "usage: %s [seconds of audio]\n", argv[0]);
        return 2;
    }
    std::printf("%-14s %6s %9s %14s %10s\n", "encoder", "rate", "kbit/s", "cpu s/audio s", "vs ffmpeg");
    int worst = 0;
    for (uint64_t rate : {48000u, 44100u}) {
        const auto pcm = material(rate, seconds);
        char path[] = "/tmp/kestrune-aac-bench-XXXXXX";
        const int fd = mkstemp(path);
        if (fd < 0) return 1;
        close(fd);
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(pcm.data()), std::streamsize(pcm.size() * 2));
        const double ffmpeg = runFFmpeg(path, rate, std::to_string(seconds)) / seconds;
        unlink(path);
        if (ffmpeg > 0) std::printf("%-14s %6llu %9s %14.5f %10s\n", "ffmpeg aac", (unsigned long long)rate, "", ffmpeg, "");
        else std::printf("%-14s %6llu   (ffmpeg could not be run)\n", "ffmpeg aac", (unsigned long long)rate);

        const std::pair<const char*, std::shared_ptr<KNAACEncoderBase>> encoders[] = {
            {"KNAACEncoder", KNAACEncoder::create()}, {"KNAACEncoder2", KNAACEncoder2::create()}};
        for (const auto& [name, encoder] : encoders) {
            uint64_t bytes = 0;
            const double cpu = runEncoder(encoder, pcm, rate, &bytes) / seconds;
            const double ratio = ffmpeg > 0 ? cpu / ffmpeg : 0;
            std::printf("%-14s %6llu %9.1f %14.5f %9.1f%%\n", name, (unsigned long long)rate,
                        double(bytes) * 8 / seconds / 1000, cpu, ratio * 100);
            if (ratio > 1.10) worst = 1;
        }
    }
    if (worst) std::printf("slower than ffmpeg by more than 10%%\n");
    return 0;
}
