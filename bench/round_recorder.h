// The results file of a bench program that measures in rounds, as peer_bench reads it back:
// lines "metric<TAB>side<TAB>round<TAB>value" (side: ours or peer), each also printed as it is
// measured. Round 0 is the warm-up and is not recorded.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace rureza {

class RoundRecorder {
 public:
  explicit RoundRecorder(const std::string& path) : out_(path, std::ios::app) {
    if (!out_) {
      std::fprintf(stderr, "cannot write %s\n", path.c_str());
      std::exit(1);
    }
  }
  void Add(const char* metric, bool ours, int round, double value) {
    if (round == 0) return;
    out_ << metric << '\t' << (ours ? "ours" : "peer") << '\t' << round << '\t' << value << '\n';
    out_.flush();
    std::printf("  %-30s %-4s round %d: %.4g\n", metric, ours ? "ours" : "peer", round, value);
    std::fflush(stdout);
  }

 private:
  std::ofstream out_;
};

}  // namespace rureza
