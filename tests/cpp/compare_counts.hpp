// Comparisons per stored key in the table tests. A test key's
// KeyTraits::eq reports each stored key it compares to note(); a test that
// checks the counts holds a CompareCounts while it searches.
#pragma once

#include <algorithm>
#include <map>

namespace quarlex_test {

class CompareCounts {
 public:
  CompareCounts() { active_ = this; }
  ~CompareCounts() { active_ = nullptr; }
  CompareCounts(const CompareCounts&) = delete;
  CompareCounts& operator=(const CompareCounts&) = delete;

  static void note(const void* stored) {
    if (active_ != nullptr) ++active_->counts_[stored];
  }

  // Whether no stored key was compared twice since the last call, which
  // starts the count again.
  bool each_once() {
    const bool once = std::all_of(counts_.begin(), counts_.end(),
                                  [](const auto& c) { return c.second == 1; });
    counts_.clear();
    return once;
  }

 private:
  static inline CompareCounts* active_ = nullptr;
  std::map<const void*, int> counts_;
};

}  // namespace quarlex_test
