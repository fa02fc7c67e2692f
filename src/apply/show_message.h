#pragma once

#include <string>

// Shows a patch's message in a viewer through PATCH.TXT, or prints it on standard output
// followed by a line feed when that cannot be done. Never fails the run.
void showPatchMessage(const std::string& message);
