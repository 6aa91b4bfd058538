#include "report.h"

#include <fmt/format.h>

#include <algorithm>

#include "system_under_test.h"

namespace corvessa::quality {
namespace {

std::string seconds(const std::optional<double>& s) {
    return s ? fmt::format("{:.1f}", *s) : std::string("never");
}

std::string decibels(double db) {
    return fmt::format("{:.1f}", db);
}

// "measured (documented)" delay in ms; "?" where the system documents none.
std::string delayCell(const RowBasics& basics) {
    constexpr double kMsPerSample = 1000.0 / kSampleRate;
    const std::string nominal =
        basics.nominalDelay
            ? fmt::format("{:.2f}", static_cast<double>(*basics.nominalDelay) * kMsPerSample)
            : std::string("?");
    return fmt::format("{:.2f} ({})", static_cast<double>(basics.delay.lag) * kMsPerSample,
                       nominal);
}

std::vector<std::string> leadingCells(const RowBasics& basics) {
    return {basics.name, delayCell(basics), fmt::format("{:.2f}", basics.delay.correlation)};
}

}  // namespace

Table::Table(std::string title, std::vector<std::string> header) : title_(std::move(title)) {
    rows_.push_back(std::move(header));
}

void Table::add(std::vector<std::string> row) {
    row.resize(rows_.front().size());
    rows_.push_back(std::move(row));
}

std::vector<std::size_t> Table::widths() const {
    std::vector<std::size_t> w(rows_.front().size(), 0);
    for (const auto& row : rows_) {
        for (std::size_t c = 0; c < row.size(); ++c) {
            w[c] = std::max(w[c], row[c].size());
        }
    }
    return w;
}

void Table::print(std::FILE* out) const {
    const std::vector<std::size_t> w = widths();
    std::size_t total = 0;
    for (const std::size_t width : w) {
        total += width + 2;
    }
    fmt::print(out, "\n{}\n", title_);
    for (std::size_t r = 0; r < rows_.size(); ++r) {
        std::string line;
        for (std::size_t c = 0; c < w.size(); ++c) {
            line += c == 0 ? fmt::format("{:<{}}  ", rows_[r][c], w[c])
                           : fmt::format("{:>{}}  ", rows_[r][c], w[c]);
        }
        fmt::print(out, "{}\n", line);
        if (r == 0) {
            fmt::print(out, "{}\n", std::string(total, '-'));
        }
    }
}

Table echoTable(std::span<const EchoRow> rows) {
    Table table(
        "ECHO CANCELLATION: far end heard through a room (40 ms delay, 200 ms decay) at -25 dBFS "
        "over a -60 dBFS floor; double talk from 8 s",
        {"system", "delay ms (doc)", "match", "ERLE last 10 s dB", "10 dB first s", "10 dB stays s",
         "20 dB first s", "20 dB stays s", "double-talk loss dB", "us/frame"});
    for (const EchoRow& row : rows) {
        std::vector<std::string> cells = leadingCells(row.basics);
        for (const std::string& cell :
             {decibels(row.erleLast10sDb), seconds(row.erle10.firstReachSeconds),
              seconds(row.erle10.staysAboveSeconds), seconds(row.erle20.firstReachSeconds),
              seconds(row.erle20.staysAboveSeconds), decibels(row.doubleTalkLossDb),
              fmt::format("{:.1f}", row.basics.medianMicros)}) {
            cells.push_back(cell);
        }
        table.add(std::move(cells));
    }
    return table;
}

Table noiseTable(std::span<const NoiseRow> rows, NoiseKind kind) {
    std::vector<std::string> header = {"system", "delay ms (doc)", "match"};
    for (const int snr : kSnrsDb) {
        header.push_back(fmt::format("{} dB: noise", snr));
        header.push_back(fmt::format("{} dB: speech", snr));
    }
    header.emplace_back("us/frame");
    Table table(fmt::format("NOISE SUPPRESSION: {} noise; attenuation of the noise in pauses and "
                            "loss of the talker while speaking, dB, at each SNR",
                            noiseName(kind)),
                std::move(header));
    const auto kindIndex = static_cast<std::size_t>(
        std::find(kNoiseKinds.begin(), kNoiseKinds.end(), kind) - kNoiseKinds.begin());
    for (const NoiseRow& row : rows) {
        std::vector<std::string> cells = leadingCells(row.basics);
        for (std::size_t j = 0; j < kSnrsDb.size(); ++j) {
            const NoiseCell& cell = row.cells.at(kindIndex * kSnrsDb.size() + j);
            cells.push_back(decibels(cell.noiseAttenuationDb));
            cells.push_back(decibels(cell.speechLossDb));
        }
        cells.push_back(fmt::format("{:.1f}", row.basics.medianMicros));
        table.add(std::move(cells));
    }
    return table;
}

}  // namespace corvessa::quality
