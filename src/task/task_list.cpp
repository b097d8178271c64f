#include "task/task_list.hpp"

void PresetTaskList(TaskList& list) {
  for (int i = 0; i < kMaxEntries; ++i) {
    list.xin[i] = 0.0;
    list.xout[i] = 0.0;  // 0 means "no stop given": copy to the source's end
    list.insert_value[i] = 0.0;
    list.trim[i] = 0.0;
    list.level_db[i] = 0.0;
    list.append_flag[i] = 1;  // an entry without "ins" follows the previous one
    list.xfade_type[i] = 0;
    list.xfade_width_ms[i] = 100.0F;
    list.xfade_width_frames[i] = 4410;
  }
  list.using_samples = 0;
}
