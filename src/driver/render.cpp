#include "driver/render.hpp"

#include <cstdlib>
#include <string>
#include <vector>

#include "driver/execute.hpp"

bool RenderForCheck(RunState& state, const DestinationLayout& layout) {
  const char* temporary = std::getenv("TMPDIR");
  const std::vector<std::string> folders = {DirectoryOf(FindReplaceTarget(state.tasks.destination_name).path),
                                            temporary != nullptr && *temporary != '\0' ? temporary : "/tmp"};
  std::optional<DestinationFile> made = CreateUnnamedDestination(state.tasks.destination_name, layout, folders);
  if (!made) return false;
  state.destination = std::move(*made);
  state.render_folder = state.destination.temporary.target_path;
  state.instructions = DetectInstructionSet();
  // Copies into the render never share blocks: its block size stays 0.
  state.scratch = CopyScratch{};
  ExecuteEntries(state);
  return true;
}
