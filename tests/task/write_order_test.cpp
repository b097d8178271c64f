#include "task/write_order.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

std::vector<int> Order(const std::vector<double>& insert, const std::vector<int>& append) {
  std::vector<TaskEntry> entries(insert.size());
  for (size_t i = 0; i < insert.size(); ++i) {
    entries[i].insert_value.value = insert[i];
    entries[i].appended = append[i] == 1;
  }
  return ComputeWriteOrder(entries);
}

TEST(WriteOrder, SixEntryExample) {
  EXPECT_EQ(Order({0, 2.0, 0, 1.0, 0, 1.0}, {1, 0, 1, 0, 1, 0}), (std::vector<int>{0, 3, 4, 5, 1, 2}));
}

TEST(WriteOrder, InsertedEntriesSortAscendingWithTiesInIndexOrder) {
  EXPECT_EQ(Order({3, 1, 2, 1, -4, 0}, {0, 0, 0, 0, 0, 0}), (std::vector<int>{4, 5, 1, 3, 2, 0}));
  // Every value negative: still sorted, whatever bound the search starts from.
  EXPECT_EQ(Order({-1, -3, -2}, {0, 0, 0}), (std::vector<int>{1, 2, 0}));
}

TEST(WriteOrder, AppendedEntriesTravelWithTheEntryBeforeThem) {
  EXPECT_EQ(Order({9, 9, 9}, {1, 1, 1}), (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(Order({7}, {0}), (std::vector<int>{0}));
  EXPECT_EQ(Order({7}, {1}), (std::vector<int>{0}));
  // The largest insert value with three appends after it: all at the end.
  EXPECT_EQ(Order({5, 0, 0, 0, 1}, {0, 1, 1, 1, 0}), (std::vector<int>{4, 0, 1, 2, 3}));
  // The insert values of appended entries play no part.
  EXPECT_EQ(Order({2, -100, 1}, {0, 1, 0}), (std::vector<int>{2, 0, 1}));
}

TEST(WriteOrder, NothingForNoEntries) { EXPECT_EQ(Order({}, {}), std::vector<int>{}); }

TEST(WriteOrder, EveryEntryGetsOnePlaceEvenForValuesNoBoundExceeds) {
  // Values the plan refuses; the order must still be a permutation.
  const double huge = 1e300;
  auto order = Order({huge, NAN, -huge, huge}, {0, 0, 0, 0});
  std::vector<int> sorted = order;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted, (std::vector<int>{0, 1, 2, 3}));
}

}  // namespace
