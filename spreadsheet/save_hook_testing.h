#pragma once
// Test-only: a hook run after a save has written its temporary file and before it replaces the target:
// tests use it to make a save fail at that point (by raising), the worst moment for the old file.

#include <functional>
#include <string>

namespace lumo::spreadsheet {

using SaveHook = std::function<void(const std::string& tempPath)>;
void setSaveHook(SaveHook hook);  // an empty hook turns it off

}  // namespace lumo::spreadsheet
