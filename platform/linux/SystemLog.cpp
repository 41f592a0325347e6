#include "platform/SystemLog.h"

#include <syslog.h>

#include <mutex>

namespace platform {

void SystemLogWarning(const std::string& Text) {
    std::string line = Text;
    for (char& c : line)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = ' ';
    static std::once_flag opened;
    std::call_once(opened, [] { openlog("sentrel", LOG_PID, LOG_USER); });
    // Through "%s": the text is data, never a format.
    syslog(LOG_WARNING, "%s", line.c_str());
}

} // namespace platform
