// Plain-text tables of the harness's figures, one row per system.
#ifndef CORVESSA_BENCH_QUALITY_REPORT_H
#define CORVESSA_BENCH_QUALITY_REPORT_H

#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "evaluation.h"
#include "scenarios.h"

namespace corvessa::quality {

/// A titled table: the first column left-aligned, the others right-aligned, widths from content.
class Table {
  public:
    /// A table with `title` above and one header row.
    Table(std::string title, std::vector<std::string> header);
    /// Appends a row (as many cells as the header).
    void add(std::vector<std::string> row);
    /// Writes title, header, rule and rows to `out`.
    void print(std::FILE* out) const;

  private:
    [[nodiscard]] std::vector<std::size_t> widths() const;
    std::string title_;
    std::vector<std::vector<std::string>> rows_;  // header first
};

/// The echo-cancellation table.
Table echoTable(std::span<const EchoRow> rows);

/// The noise-suppression table of one noise kind (its three SNRs side by side).
Table noiseTable(std::span<const NoiseRow> rows, NoiseKind kind);

}  // namespace corvessa::quality

#endif
