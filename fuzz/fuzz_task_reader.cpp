// The task file reader on arbitrary bytes: it must end with a complete list or
// a refusal, never read or write outside its buffers.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "driver/fatal.hpp"
#include "task/reader.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto list = std::make_unique<TaskList>();
  PresetTaskList(*list);
  try {
    ReadTaskText(std::string_view(reinterpret_cast<const char*>(data), size), *list);
  } catch (const FatalExit& exit) {
    if (exit.status != 1) std::abort();
    return 0;
  }
  // A list handed back is within its bounds and names are terminated.
  if (list->entry_count < 0 || list->entry_count > kMaxEntries) std::abort();
  for (int i = 0; i < list->entry_count; ++i) {
    if (NameOf(list->source_name[i]).size() < 4) std::abort();
    if (list->xfade_type[i] < 0 || list->xfade_type[i] > 4) std::abort();
    if (!(list->level_db[i] < 24.0)) std::abort();
  }
  return 0;
}
