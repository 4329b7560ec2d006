// The help texts of the dialogs' controls, shown by a dialog's caption help
// button and as each control's context help. Each text's last line is its
// title.
#pragma once

#include <string>

#include "platform/wintypes.h"

// The text of help id `id` (6000-6004 About, 6100-6107 Ping who, 6200-6207
// Parameters, 6300-6301 Define default gateway, 6400-6402 Define buffer
// sizes, 6500-6507 Set debug flags); null for an unknown id.
const char* HelpText(UINT id);

// A help text split into its title (the last line) and its body (the rest).
struct HelpTopic {
  std::string title;
  std::string body;
};
HelpTopic SplitHelpText(const char* text);
