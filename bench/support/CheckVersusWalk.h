#pragma once
// How the folder tools' Checks are measured: against the reference walk on the same tree in the
// same run, warm (with as many threads as cores) and cold (page cache dropped before every run,
// against the best reference of 1 to 16 threads), and against the same Check on one thread.
#include <cstdint>
#include <filesystem>
#include <functional>

namespace brenvik::bench {

// Runs the tool's cache-mode Check over the tree once on `workers` threads (0: its automatic
// choice) and returns the files it examined.
using CheckRun = std::function<int64_t(int workers)>;

// Prints files/s of the Check and the references, and the ratios: warm Check / N-thread walk
// (N = cores), cold Check / best walk, cold Check / one-thread Check. Cold figures need root; they
// are left out (with a note) when the page cache cannot be dropped. Returns 0.
int CompareCheckWithReferenceWalk(const char* tool, const std::filesystem::path& root, const CheckRun& check,
                                  bool cold);

}  // namespace brenvik::bench
