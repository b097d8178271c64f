#pragma once

#include <span>

// Fills write_order[0 .. count-1] with the entry numbers in the order they are
// written: earliest insert value first (ties to the lower index), each entry
// followed directly by the appended entries that come after it in the task
// file. The insert values must be finite.
void FindOrder(int count, std::span<const double> insert_value, std::span<int> write_order,
               std::span<const int> append_flag);
