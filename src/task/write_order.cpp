#include "task/write_order.hpp"

std::vector<int> ComputeWriteOrder(std::span<const TaskEntry> entries) {
  const auto count = static_cast<int>(entries.size());
  std::vector<int> order;
  order.reserve(entries.size());

  // Appended entries are never chosen for their own insert value: they travel
  // with the entry before them.
  std::vector<bool> placed(entries.size());
  for (int i = 0; i < count; ++i) placed[i] = entries[i].appended;

  int p = 0;
  for (; p < count && entries[p].appended; ++p) order.push_back(p);

  while (p < count) {
    // The first unplaced entry is the first candidate, and only a strictly
    // smaller value displaces it, so ties go to the lowest index. Starting
    // from the first candidate rather than from a bound above every value
    // also gives each entry exactly one place whatever the values are.
    double minimum = 0.0;
    int chosen = -1;
    for (int i = 0; i < count; ++i) {
      if (placed[i]) continue;
      if (chosen < 0 || entries[i].insert_value.value < minimum) {
        minimum = entries[i].insert_value.value;
        chosen = i;
      }
    }
    order.push_back(chosen);
    ++p;
    for (int k = chosen + 1; k < count && entries[k].appended; ++k, ++p) order.push_back(k);
    placed[chosen] = true;
  }
  return order;
}
