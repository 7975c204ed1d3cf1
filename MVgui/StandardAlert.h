// A message the user should not miss: a line on standard error, plus a message window when a
// view has installed one (see SetAlertWindowHook). Never modal.
#pragma once

namespace MV {

// title: "Error" when null.
void StandardAlert(const char* title, const char* message);

} // namespace MV
