// The task file reader on arbitrary bytes: it must end with a complete list or
// a refusal, never read or write outside its buffers.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "common/failure.hpp"
#include "task/reader.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TaskList list;
  try {
    list = ReadTaskText(std::string_view(reinterpret_cast<const char*>(data), size));
  } catch (const RunFailure& failure) {
    if (failure.status != 1) std::abort();
    return 0;
  }
  // A list handed back is within its bounds and holds only what was checked.
  if (list.entries.size() > static_cast<size_t>(kMaxEntries)) std::abort();
  if (!list.destination_name.empty() && list.destination_name.size() < 4) std::abort();
  for (const TaskEntry& entry : list.entries) {
    if (entry.source_name.size() < 4 || entry.source_name.size() > static_cast<size_t>(kMaxNameLength)) std::abort();
    if (entry.xfade_type < 0 || entry.xfade_type > 4) std::abort();
    if (!(entry.level_db < 24.0)) std::abort();
  }
  return 0;
}
