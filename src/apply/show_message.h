// Showing a patch's message to the user while the patch is applied.
#pragma once

#include "platform/platform.h"

#include <string>

// Shows a patch's message in a viewer through PATCH.TXT, or prints it on standard output
// followed by a line feed when that cannot be done. PATCH.TXT is never the run's own patch
// file (`patch`) or the file the patch names (`targetName`): when it is, the message is
// printed. Never fails the run.
void showPatchMessage(const std::string& message, const platform::FileIdentity& patch,
                      const std::string& targetName);
