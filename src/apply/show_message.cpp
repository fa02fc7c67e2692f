#include "apply/show_message.h"

#include "app/console.h"
#include "platform/platform.h"

void showPatchMessage(const std::string& message) {
    if (platform::showMessageInViewer(message))
        return;
    printText(message);
    printLine("");
}
