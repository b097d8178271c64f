#include "task/write_order.hpp"

#include <array>

#include "task/task_list.hpp"

void FindOrder(int count, std::span<const double> insert_value, std::span<int> write_order,
               std::span<const int> append_flag) {
  if (count <= 0) return;

  // Appended entries are never chosen for their own insert value: they travel
  // with the entry before them.
  std::array<bool, kMaxEntries> placed{};
  for (int i = 0; i < count; ++i) placed[i] = append_flag[i] == 1;

  int p = 0;
  while (p < count && append_flag[p] == 1) {
    write_order[p] = p;
    ++p;
  }

  while (p < count) {
    // The first unplaced entry is the first candidate, and only a strictly
    // smaller value displaces it, so ties go to the lowest index. Starting
    // from the first candidate rather than from a bound above every value
    // also gives each entry exactly one place whatever the values are.
    double minimum = 0.0;
    int chosen = -1;
    for (int i = 0; i < count; ++i) {
      if (placed[i]) continue;
      if (chosen < 0 || insert_value[i] < minimum) {
        minimum = insert_value[i];
        chosen = i;
      }
    }
    write_order[p++] = chosen;
    for (int k = chosen + 1; k < count && append_flag[k] == 1; ++k) write_order[p++] = k;
    placed[chosen] = true;
  }
}
