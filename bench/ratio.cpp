#include "ratio.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace vorn::bench {
namespace {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run &run : runs) {
      if (run.error_occurred) continue;
      // With repetitions, the median stands for the benchmark.
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      std::string name = run.benchmark_name();
      std::string suffix = "_" + run.aggregate_name;
      if (run.run_type == Run::RT_Aggregate && name.size() > suffix.size() &&
          name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
        name.resize(name.size() - suffix.size());
      // Drop argument suffixes such as "/real_time".
      size_t slash = name.find('/');
      if (slash == std::string::npos) continue;
      size_t end = name.find('/', slash + 1);
      std::string group = name.substr(0, slash);
      std::string what = name.substr(slash + 1, end == std::string::npos ? end : end - slash - 1);
      times_[group][what] = run.GetAdjustedRealTime();
      if (std::find(order_.begin(), order_.end(), group + "/" + what) == order_.end())
        order_.push_back(group + "/" + what);
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\n%-40s %10s\n", "benchmark", "ratio");
    for (const std::string &key : order_) {
      size_t slash = key.find('/');
      std::string group = key.substr(0, slash), what = key.substr(slash + 1);
      auto &g = times_[group];
      if (what.rfind("reference", 0) == 0) continue;
      // "reference" first; a group may have more, named "reference_<what>",
      // each reported on a line of its own.
      if (g.count("reference"))
        std::printf("%-40s %9.2fx\n", key.c_str(), g[what] / g["reference"]);
      for (const auto &[other, time] : g) {
        if (other.rfind("reference_", 0) != 0) continue;
        const std::string label = key + " vs " + other.substr(10);
        std::printf("%-40s %9.2fx\n", label.c_str(), g[what] / time);
      }
    }
  }

 private:
  std::map<std::string, std::map<std::string, double>> times_;
  std::vector<std::string> order_;
};

}  // namespace

int RunWithRatios(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}

}  // namespace vorn::bench
