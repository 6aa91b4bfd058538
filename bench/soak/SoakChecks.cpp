// The soak's claims about a run.
#include "SoakChecks.h"

#include <fmt/format.h>
#include <algorithm>
#include <cmath>

namespace corvessa::soak {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kMemoryIsMeaningful = false;  // shadow memory and the sanitizer's own allocator
#else
constexpr bool kMemoryIsMeaningful = true;
#endif

std::string text(const char* what, std::uint64_t got, std::uint64_t allowed) {
    return std::string(what) + ": " + std::to_string(got) + " (allowed " + std::to_string(allowed) +
           ")";
}

/// Largest minus smallest of `field` over the samples after the first (warm-up).
template <typename Field>
std::uint64_t spreadAfterWarmUp(const std::vector<SoakSample>& samples, Field field) {
    if (samples.size() < 3) {
        return 0;
    }
    std::uint64_t low = field(samples[1]);
    std::uint64_t high = low;
    for (std::size_t i = 2; i < samples.size(); ++i) {
        low = std::min(low, field(samples[i]));
        high = std::max(high, field(samples[i]));
    }
    return high - low;
}

void checkMemory(const SoakFigures& f, std::vector<std::string>& failures) {
    if (!kMemoryIsMeaningful) {
        return;
    }
    const auto rss =
        spreadAfterWarmUp(f.samples, [](const SoakSample& s) { return s.residentKiB; });
    const auto heap =
        spreadAfterWarmUp(f.samples, [](const SoakSample& s) { return s.heapInUseKiB; });
    if (rss > kResidentToleranceKiB) {
        failures.push_back(
            text("resident memory spread after warm-up, KiB", rss, kResidentToleranceKiB));
    }
    if (heap > kHeapToleranceKiB) {
        failures.push_back(text("heap in use spread after warm-up, KiB", heap, kHeapToleranceKiB));
    }
}

void checkCounters(const SoakFigures& f, std::vector<std::string>& failures) {
    const ConsumerTally& c = f.consumer;
    if (f.framesWritten != c.framesRead + f.overruns + f.bufferedAtEnd) {
        failures.push_back("frames written " + std::to_string(f.framesWritten) +
                           " != read + overruns + buffered " +
                           std::to_string(c.framesRead + f.overruns + f.bufferedAtEnd));
    }
    if (f.underruns != c.emptyReads) {
        failures.push_back(
            text("ring underruns against the consumer's empty reads", f.underruns, c.emptyReads));
    }
    if (c.framesVerified + 1 < c.framesRead) {  // the last frame may be partly delivered
        failures.push_back(
            text("frames verified against frames read", c.framesVerified, c.framesRead));
    }
    if (c.tornFrames != 0 || c.failedCycles != 0) {
        failures.push_back(
            text("torn frames or failed IO cycles", c.tornFrames + c.failedCycles, 0));
    }
}

void checkUnderruns(const SoakFigures& f, const SoakOptions& o,
                    std::vector<std::string>& failures) {
    // After the first second (while the consumer's latency settles against the producer's
    // 512-frame rhythm), the ring runs empty only when the microphone's clock is slower than the
    // device's: then the consumer gains one frame on the producer every 1e6 / |ppm| frames.
    const ConsumerTally& c = f.consumer;
    const double frames = static_cast<double>(c.framesRead + c.emptyReads);
    const auto allowed =
        o.driftPpm < 0.0 ? static_cast<std::uint64_t>(std::ceil(frames * -o.driftPpm * 1e-6)) + 1
                         : 0;
    const std::uint64_t steady = c.emptyReads - c.emptyReadsWarmUp;
    if (steady > allowed) {
        failures.push_back(text("underruns after the first second", steady, allowed));
    }
    if (static_cast<double>(c.framesRead) < 0.99 * frames) {
        failures.push_back(text("frames read (of 99 % of the reads expected)", c.framesRead,
                                static_cast<std::uint64_t>(frames)));
    }
}

}  // namespace

std::vector<std::string> checkFigures(const SoakFigures& figures, const SoakOptions& options) {
    std::vector<std::string> failures;
    checkMemory(figures, failures);
    checkCounters(figures, failures);
    checkUnderruns(figures, options, failures);
    if (!(figures.maxLookbackMs <= kLookbackLimitMs)) {
        failures.push_back("reference lookback reached " + std::to_string(figures.maxLookbackMs) +
                           " ms (allowed " + std::to_string(kLookbackLimitMs) + " ms)");
    }
    if (figures.nonFiniteFrames != 0) {
        failures.push_back(text("frames with non-finite samples", figures.nonFiniteFrames, 0));
    }
    return failures;
}

std::string describe(const SoakFigures& f) {
    const ConsumerTally& c = f.consumer;
    return fmt::format("microphone cycles {}, consumer cycles {} (+{} stalled), wall {:.1f} s\n",
                       f.microphoneCycles, c.cycles, f.stalledCycles, f.wallSeconds) +
           fmt::format("frames written {} = read {} + overruns {} + buffered {}\n", f.framesWritten,
                       c.framesRead, f.overruns, f.bufferedAtEnd) +
           fmt::format(
               "frames verified {}, skipped between reads {}, torn {}, failed cycles {}, "
               "non-finite {}\n",
               c.framesVerified, c.framesSkipped, c.tornFrames, c.failedCycles, f.nonFiniteFrames) +
           fmt::format("underruns {} (empty reads {}, {} in the first second)\n", f.underruns,
                       c.emptyReads, c.emptyReadsWarmUp) +
           fmt::format(
               "reference lookback max {:.2f} ms; mean echo reduction with the far end active "
               "{:.1f} dB\n",
               f.maxLookbackMs, f.meanEchoReductionDb);
}

}  // namespace corvessa::soak
